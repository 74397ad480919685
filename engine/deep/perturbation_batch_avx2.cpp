// The perturbation batch kernel on AVX2: four lanes per vector. Compiled for
// AVX2 only (never FMA), and called only when the processor has it.
#include <immintrin.h>

#include "deep/perturbation_batch.h"

#if defined(__x86_64__) && defined(__GNUC__)

// Everything from here on is compiled for this instruction set only.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "bigfloat/lane_arith_avx2.h"
#include "deep/perturbation_lanes.h"

namespace quorvel {
namespace {

struct Avx2 : lane_arith::Avx2 {
    using mask = __m256d;
    static mask lt(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static mask le(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static mask eq(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static mask mask_or(mask a, mask b) { return _mm256_or_pd(a, b); }
    static mask mask_andnot(mask a, mask b) { return _mm256_andnot_pd(b, a); }
    static reg clear(mask m, reg a) { return _mm256_andnot_pd(m, a); }
    static unsigned bits(mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static reg select(mask m, reg a, reg b) { return _mm256_blendv_pd(b, a, m); }
    static reg gather(const double* base, reg index) {
        // The masked form: the plain one reads an undefined source register.
        return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, _mm256_cvttpd_epi32(index),
                                        _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
    }
};

}  // namespace

bool iterate_perturbed_batch_avx2(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels,
                                  size_t count, const Budget& budget) {
    return perturbation_lanes::run<Avx2, 4>(orbit, max_iterations, pixels, count, budget);
}

}  // namespace quorvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
