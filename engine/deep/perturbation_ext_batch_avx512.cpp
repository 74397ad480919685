// The extended batch kernel on AVX-512: eight lanes per vector. Compiled for
// AVX-512 F/DQ/BW/VL, called only when the processor has them; separate
// multiplies and adds, never fused ones.
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
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")
#endif

#include "deep/lane_masks_avx512.h"
#include "deep/perturbation_bla_ext_lanes.h"
#include "deep/perturbation_ext_lanes.h"

namespace quorvel {
namespace {

struct Avx512 : lane_arith::Avx512Masked {
    static mask mask_and(mask a, mask b) { return static_cast<mask>(a & b); }
    static reg keep(mask m, reg a) { return _mm512_maskz_mov_pd(m, a); }
    static reg abs(reg a) { return _mm512_abs_pd(a); }
    // The zero-masked forms here and below: GCC takes the plain ones' undefined
    // source registers for uninitialised values.
    static reg min(reg a, reg b) { return _mm512_maskz_min_pd(0xFF, a, b); }
    static reg max(reg a, reg b) { return _mm512_maskz_max_pd(0xFF, a, b); }
    // j + 2^52 + 1023 holds j + 1023 in its low bits: shifted into the
    // exponent field, that is 2^j.
    static reg pow2(reg j) {
        const reg t = _mm512_add_pd(j, _mm512_set1_pd(0x1p52 + 1023.0));
        return _mm512_castsi512_pd(_mm512_maskz_slli_epi64(0xFF, _mm512_castpd_si512(t), 52));
    }
    static reg exponent(reg a) { return _mm512_maskz_getexp_pd(0xFF, a); }
};

}  // namespace

bool iterate_perturbed_ext_batch_avx512(const ExtBatch& batch, uint32_t max_iterations,
                                        Orbit* records, size_t count, const Budget& budget) {
    return perturbation_ext_lanes::run<Avx512, 2>(batch, max_iterations, records, count, budget);
}

bool iterate_bla_ext_lanes_avx512(const ExtBatch& batch, const BlaTable<ExtFloat>& table,
                                  const double* gates, uint32_t max_iterations, Orbit* records,
                                  size_t count, const Budget& budget) {
    return perturbation_bla_ext_lanes::run<Avx512, 2>(batch, table, gates, max_iterations, records,
                                                      count, budget);
}

}  // namespace quorvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
