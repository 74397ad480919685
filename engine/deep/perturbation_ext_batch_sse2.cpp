// The extended batch kernel on SSE2: two lanes per vector, part of every
// x86-64.
#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>

#include "bigfloat/lane_arith_sse2.h"
#include "deep/perturbation_ext_batch.h"
#include "deep/perturbation_ext_lanes.h"
#include "deep/perturbation_ext_walk.h"

#if defined(__x86_64__)

namespace quorvel {
namespace {

struct Sse2 : lane_arith::Sse2 {
    using mask = __m128d;
    static mask lt(reg a, reg b) { return _mm_cmplt_pd(a, b); }
    static mask le(reg a, reg b) { return _mm_cmple_pd(a, b); }
    static mask eq(reg a, reg b) { return _mm_cmpeq_pd(a, b); }
    static mask mask_and(mask a, mask b) { return _mm_and_pd(a, b); }
    static mask mask_or(mask a, mask b) { return _mm_or_pd(a, b); }
    static mask mask_andnot(mask a, mask b) { return _mm_andnot_pd(b, a); }
    static unsigned bits(mask m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static reg select(mask m, reg a, reg b) {
        return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b));
    }
    static reg clear(mask m, reg a) { return _mm_andnot_pd(m, a); }
    static reg keep(mask m, reg a) { return _mm_and_pd(m, a); }
    static reg abs(reg a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
    static reg min(reg a, reg b) { return _mm_min_pd(a, b); }
    static reg max(reg a, reg b) { return _mm_max_pd(a, b); }
    static reg gather(const double* base, reg index) {
        const __m128i i = _mm_cvttpd_epi32(index);
        const int i0 = _mm_cvtsi128_si32(i);
        const int i1 = _mm_cvtsi128_si32(_mm_srli_si128(i, 4));
        return _mm_loadh_pd(_mm_load_sd(base + i0), base + i1);
    }
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

}  // namespace quorvel

#endif
