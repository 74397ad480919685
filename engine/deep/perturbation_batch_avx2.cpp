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

#include "deep/bla_lanes.h"
#include "deep/lane_masks_avx2.h"
#include "deep/perturbation_lanes.h"

namespace quorvel {
namespace {

using Avx2 = lane_arith::Avx2Masked;

}  // namespace

bool iterate_perturbed_batch_avx2(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels,
                                  size_t count, const Budget& budget) {
    return perturbation_lanes::run<Avx2, 4>(orbit, max_iterations, pixels, count, budget);
}

// The linear-step kernel's single steps on the same lanes, fewer vectors at
// once: its state and what it keeps for held lanes fill the registers.
bool iterate_bla_batch_avx2(const OrbitSpan& orbit, const BlaTable<double>& table,
                            uint32_t max_iterations, Orbit* pixels, size_t count,
                            const Budget& budget) {
    return bla_lanes::run<Avx2, 1>(orbit, table, max_iterations, pixels, count, budget);
}

}  // namespace quorvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
