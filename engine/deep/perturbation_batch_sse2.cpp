// The perturbation batch kernel on SSE2: two lanes per vector, part of every
// x86-64.
#include <emmintrin.h>

#include "bigfloat/lane_arith_sse2.h"
#include "deep/perturbation_batch.h"
#include "deep/perturbation_lanes.h"

#if defined(__x86_64__)

namespace quorvel {
namespace {

struct Sse2 : lane_arith::Sse2 {
    using mask = __m128d;
    static mask lt(reg a, reg b) { return _mm_cmplt_pd(a, b); }
    static mask le(reg a, reg b) { return _mm_cmple_pd(a, b); }
    static mask eq(reg a, reg b) { return _mm_cmpeq_pd(a, b); }
    static mask mask_or(mask a, mask b) { return _mm_or_pd(a, b); }
    static mask mask_andnot(mask a, mask b) { return _mm_andnot_pd(b, a); }
    static reg clear(mask m, reg a) { return _mm_andnot_pd(m, a); }
    static unsigned bits(mask m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static reg select(mask m, reg a, reg b) {
        return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b));
    }
    static reg gather(const double* base, reg index) {
        const __m128i i = _mm_cvttpd_epi32(index);
        const int i0 = _mm_cvtsi128_si32(i);
        const int i1 = _mm_cvtsi128_si32(_mm_srli_si128(i, 4));
        return _mm_loadh_pd(_mm_load_sd(base + i0), base + i1);
    }
};

}  // namespace

bool iterate_perturbed_batch_sse2(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels,
                                  size_t count, const Budget& budget) {
    return perturbation_lanes::run<Sse2, 4>(orbit, max_iterations, pixels, count, budget);
}

}  // namespace quorvel

#endif
