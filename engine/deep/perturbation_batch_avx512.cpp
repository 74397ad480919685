// The perturbation batch kernel on AVX-512: eight lanes per vector. Compiled
// for AVX-512 F/DQ/BW/VL, called only when the processor has them; separate
// multiplies and adds, never fused ones.
#include <immintrin.h>

#include "deep/perturbation_batch.h"

#if defined(__x86_64__) && defined(__GNUC__)

// Everything from here on is compiled for this instruction set only.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")
#endif

#include "bigfloat/lane_arith_avx512.h"
#include "deep/perturbation_lanes.h"

namespace quorvel {
namespace {

struct Avx512 : lane_arith::Avx512 {
    using mask = __mmask8;
    static mask lt(reg a, reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static mask le(reg a, reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static mask eq(reg a, reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static mask mask_or(mask a, mask b) { return static_cast<mask>(a | b); }
    static mask mask_andnot(mask a, mask b) { return static_cast<mask>(a & ~b); }
    static reg clear(mask m, reg a) { return _mm512_mask_blend_pd(m, a, _mm512_setzero_pd()); }
    static unsigned bits(mask m) { return m; }
    static reg select(mask m, reg a, reg b) { return _mm512_mask_blend_pd(m, b, a); }
    static reg gather(const double* base, reg index) {
        // The masked forms: the plain ones read undefined source registers.
        return _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF,
                                        _mm512_maskz_cvttpd_epi32(0xFF, index), base, 8);
    }
};

}  // namespace

bool iterate_perturbed_batch_avx512(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels,
                                    size_t count, const Budget& budget) {
    return perturbation_lanes::run<Avx512, 4>(orbit, max_iterations, pixels, count, budget);
}

}  // namespace quorvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
