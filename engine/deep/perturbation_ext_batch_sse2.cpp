// The extended batch kernel on SSE2: two lanes per vector, part of every
// x86-64.
#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "deep/lane_masks_sse2.h"
#include "deep/perturbation_bla_ext.h"
#include "deep/perturbation_ext_batch.h"
#include "deep/perturbation_ext_lanes.h"
// After perturbation_ext_lanes.h.
#include "deep/perturbation_bla_ext_lanes.h"
#include "deep/perturbation_ext_walk.h"

#if defined(__x86_64__)

namespace quorvel {
namespace {

struct Sse2 : lane_arith::Sse2Masked {
    static mask mask_and(mask a, mask b) { return _mm_and_pd(a, b); }
    static reg keep(mask m, reg a) { return _mm_and_pd(m, a); }
    static reg abs(reg a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
    static reg min(reg a, reg b) { return _mm_min_pd(a, b); }
    static reg max(reg a, reg b) { return _mm_max_pd(a, b); }
    // j + 2^52 + 1023 holds j + 1023 in its low bits: shifted into the
    // exponent field, that is 2^j.
    static reg pow2(reg j) {
        const reg t = _mm_add_pd(j, _mm_set1_pd(0x1p52 + 1023.0));
        return _mm_castsi128_pd(_mm_slli_epi64(_mm_castpd_si128(t), 52));
    }
    // The exponent field as the low bits of 2^52 + field.
    static reg exponent(reg a) {
        const __m128i field = _mm_srli_epi64(_mm_castpd_si128(a), 52);
        const reg t = _mm_or_pd(_mm_castsi128_pd(field), _mm_set1_pd(0x1p52));
        return _mm_sub_pd(t, _mm_set1_pd(0x1p52 + 1023.0));
    }
};

}  // namespace

bool iterate_perturbed_ext_batch_sse2(const ExtBatch& batch, uint32_t max_iterations,
                                      Orbit* records, size_t count, const Budget& budget) {
    return perturbation_ext_lanes::run<Sse2, 4>(batch, max_iterations, records, count, budget);
}

bool iterate_bla_ext_lanes_sse2(const ExtBatch& batch, const BlaTable<ExtFloat>& table,
                                const double* gates, uint32_t max_iterations, Orbit* records,
                                size_t count, const Budget& budget) {
    return perturbation_bla_ext_lanes::run<Sse2, 4>(batch, table, gates, max_iterations, records,
                                                    count, budget);
}

}  // namespace quorvel

#endif
