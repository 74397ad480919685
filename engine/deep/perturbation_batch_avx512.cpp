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

#include "deep/bla_lanes.h"
#include "deep/lane_masks_avx512.h"
#include "deep/perturbation_lanes.h"

namespace quorvel {
namespace {

using Avx512 = lane_arith::Avx512Masked;

}  // namespace

bool iterate_perturbed_batch_avx512(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels,
                                    size_t count, const Budget& budget) {
    return perturbation_lanes::run<Avx512, 4>(orbit, max_iterations, pixels, count, budget);
}

// The linear-step kernel's single steps on the same lanes.
bool iterate_bla_batch_avx512(const OrbitSpan& orbit, const BlaTable<double>& table,
                              uint32_t max_iterations, Orbit* pixels, size_t count,
                              const Budget& budget) {
    return bla_lanes::run<Avx512, 2>(orbit, table, max_iterations, pixels, count, budget);
}

}  // namespace quorvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
