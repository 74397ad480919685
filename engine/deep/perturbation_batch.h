// The perturbation kernel in batches, on every SIMD lane the processor has,
// with the contract of the double batch kernel (bigfloat/orbit_batch.h): each
// Orbit record is one pixel; cx, cy hold its offset dc from the reference's c,
// x, y its offset dz from the reference's z, aux the reference index m, extra
// the squared error estimate of z and n the count. A record done with n == kNeedsOtherReference
// needs another reference; every other count equals iterate_perturbed's, and
// an escaped record holds the pixel's z in x, y.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bigfloat/orbit_batch.h"
#include "deep/perturbation.h"

namespace quorvel {

// A fresh pixel at offset dc from the reference.
inline Orbit fresh_perturbed(double dcx, double dcy) {
    return Orbit{dcx, dcy, 0.0, 0.0, 0, 0, false};
}

// Runs the pending records at the active SIMD level; true when all are done.
bool iterate_perturbed_batch(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels,
                             size_t count, const Budget& budget);
// The same at a given level (clamped to what the processor has).
bool iterate_perturbed_batch_at(SimdLevel level, const OrbitSpan& orbit, uint32_t max_iterations,
                                Orbit* pixels, size_t count, const Budget& budget);

}  // namespace quorvel
