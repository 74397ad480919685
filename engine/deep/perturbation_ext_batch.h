// The extended perturbation kernel in batches, on every SIMD lane the processor
// has, with the contract of the double batch kernel (bigfloat/orbit_batch.h):
// each Orbit record is one pixel, and every count equals perturbed_steps_ext's
// (kNeedsOtherReference included), however the work is split into calls; an
// escaped record holds the pixel's z in x, y.
//
// A record's state: dz = (x, y) 2^cx, the error estimate and the iterations
// its linear steps skipped in extra and cy (keep_ext_error), the reference
// index in aux and the count in n, and in its seen_ fields the state
// remembered for cycle detection; a record with n == 0 is a fresh pixel,
// whatever the rest holds (PerturbationPlan::fresh_extended()). Its dc comes
// from the offset tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bigfloat/orbit_batch.h"
#include "deep/perturbation_ext.h"

namespace quorvel {

// The pixel state a record holds.
ExtPixelState ext_record_state(const Orbit& record);
// The state a record remembers for cycle detection, as ext_record_state gives
// it, and its storing: x and y get one scale; a state that does not fit the
// record is left out (its count kept, so remembering goes on doubling).
ExtSeen ext_record_seen(const Orbit& record);
void keep_ext_seen(const ExtSeen& seen, Orbit& record);
// Stores the error estimate and ExtPixelState::skipped together in extra and
// cy, exactly for errors within 2^(+-2^31), which hold those of the deepest
// views (from near 2^(-2^21) up). An error above, reached only after some 2^29
// iterations growing 16-fold, is rounded up to 2^(2^40), which none reaches in
// 2^32; one below to the range's bottom. Either still bounds the error.
void keep_ext_error(ExtFloat error, uint32_t skipped, Orbit& record);

// The reference values as the SIMD lanes read them: doubles, zero below the
// double range, NaN at the last index (a lane that reaches it leaves the
// vector loop), and (0.5, 0) one past it, where empty lanes wait. length + 1
// values each.
void form_lane_values(const ExtOrbitSpan& orbit, std::vector<double>& re, std::vector<double>& im);

struct ExtBatch {
    ExtOrbitSpan orbit;
    // form_lane_values of the orbit; not read at the scalar level.
    const double* lane_re;
    const double* lane_im;
    // dc of every column and row; record k is the pixel pixels[k] = y * width + x.
    const ExtFloat* dcx;
    const ExtFloat* dcy;
    const uint32_t* pixels;
    uint32_t width;
};

// Runs the pending records at the active SIMD level; true when all are done.
bool iterate_perturbed_ext_batch(const ExtBatch& batch, uint32_t max_iterations, Orbit* records,
                                 size_t count, const Budget& budget);
// The same at a given level (clamped to what the processor has).
bool iterate_perturbed_ext_batch_at(SimdLevel level, const ExtBatch& batch, uint32_t max_iterations,
                                    Orbit* records, size_t count, const Budget& budget);

}  // namespace quorvel
