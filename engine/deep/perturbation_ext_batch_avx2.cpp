// The extended batch kernel on AVX2: four lanes per vector. Compiled for AVX2
// only (never FMA), and called only when the processor has it.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "deep/perturbation_bla_ext.h"
#include "deep/perturbation_ext_batch.h"
#include "deep/perturbation_ext_walk.h"

#if defined(__x86_64__) && defined(__GNUC__)

// Everything from here on is compiled for this instruction set only.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "deep/lane_masks_avx2.h"
#include "deep/perturbation_bla_ext_lanes.h"
#include "deep/perturbation_ext_lanes.h"

namespace quorvel {
namespace {

struct Avx2 : lane_arith::Avx2Masked {
    static mask mask_and(mask a, mask b) { return _mm256_and_pd(a, b); }
    static reg keep(mask m, reg a) { return _mm256_and_pd(m, a); }
    static reg abs(reg a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static reg min(reg a, reg b) { return _mm256_min_pd(a, b); }
    static reg max(reg a, reg b) { return _mm256_max_pd(a, b); }
    // j + 2^52 + 1023 holds j + 1023 in its low bits: shifted into the
    // exponent field, that is 2^j.
    static reg pow2(reg j) {
        const reg t = _mm256_add_pd(j, _mm256_set1_pd(0x1p52 + 1023.0));
        return _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_castpd_si256(t), 52));
    }
    // The exponent field as the low bits of 2^52 + field.
    static reg exponent(reg a) {
        const __m256i field = _mm256_srli_epi64(_mm256_castpd_si256(a), 52);
        const reg t = _mm256_or_pd(_mm256_castsi256_pd(field), _mm256_set1_pd(0x1p52));
        return _mm256_sub_pd(t, _mm256_set1_pd(0x1p52 + 1023.0));
    }
};

}  // namespace

bool iterate_perturbed_ext_batch_avx2(const ExtBatch& batch, uint32_t max_iterations,
                                      Orbit* records, size_t count, const Budget& budget) {
    return perturbation_ext_lanes::run<Avx2, 2>(batch, max_iterations, records, count, budget);
}

bool iterate_bla_ext_lanes_avx2(const ExtBatch& batch, const BlaTable<ExtFloat>& table,
                                const double* gates, uint32_t max_iterations, Orbit* records,
                                size_t count, const Budget& budget) {
    return perturbation_bla_ext_lanes::run<Avx2, 2>(batch, table, gates, max_iterations, records,
                                                    count, budget);
}

}  // namespace quorvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
