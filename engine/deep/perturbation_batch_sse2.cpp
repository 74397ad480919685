// The perturbation batch kernel on SSE2: two lanes per vector, part of every
// x86-64.
#include <emmintrin.h>

#include "deep/bla_lanes.h"
#include "deep/lane_masks_sse2.h"
#include "deep/perturbation_batch.h"
#include "deep/perturbation_lanes.h"

#if defined(__x86_64__)

namespace quorvel {
namespace {

using Sse2 = lane_arith::Sse2Masked;

}  // namespace

bool iterate_perturbed_batch_sse2(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels,
                                  size_t count, const Budget& budget) {
    return perturbation_lanes::run<Sse2, 4>(orbit, max_iterations, pixels, count, budget);
}

// The linear-step kernel's single steps on the same lanes, fewer vectors at
// once: its state and what it keeps for held lanes fill the registers.
bool iterate_bla_batch_sse2(const OrbitSpan& orbit, const BlaTable<double>& table,
                            uint32_t max_iterations, Orbit* pixels, size_t count,
                            const Budget& budget) {
    return bla_lanes::run<Sse2, 2>(orbit, table, max_iterations, pixels, count, budget);
}

}  // namespace quorvel

#endif
