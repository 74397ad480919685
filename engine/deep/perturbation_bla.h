// The perturbation kernel with skipping: where a linear step of the reference's
// BlaTable is valid for the pixel's offset, it takes the longest one; elsewhere
// it steps as perturbed_steps does, rebasing alike. A linear step adds its
// dropped terms to the error estimate, so escape_decided still refuses a count
// the estimate cannot vouch for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bigfloat/orbit_batch.h"
#include "deep/bla_table.h"
#include "deep/perturbation.h"
#include "deep/perturbation_ext.h"
#include "deep/perturbation_ext_batch.h"
#include "deep/perturbation_step.h"

namespace quorvel {

// Runs at most `work` steps, linear or single, taking those done off `work`;
// true with the count (or kNeedsOtherReference) in `result` once the pixel
// ends, an escaped pixel's z in s.escaped.
bool bla_steps(const OrbitSpan& orbit, const BlaTable<double>& table, uint32_t max_iterations,
               double dcx, double dcy, PixelState& s, uint64_t& work, uint32_t& result);
bool bla_steps_ext(const ExtOrbitSpan& orbit, const BlaTable<ExtFloat>& table,
                   uint32_t max_iterations, ExtFloat dcx, ExtFloat dcy, ExtPixelState& s,
                   uint64_t& work, uint32_t& result);

// A pixel's count, or kNeedsOtherReference; adds the steps taken to *steps,
// and puts an escaped pixel's z in *z.
uint32_t iterate_bla(const OrbitSpan& orbit, const BlaTable<double>& table, uint32_t max_iterations,
                     double dcx, double dcy, uint64_t* steps = nullptr, EscapedZ* z = nullptr);
uint32_t iterate_bla_ext(const ExtOrbitSpan& orbit, const BlaTable<ExtFloat>& table,
                         uint32_t max_iterations, ExtFloat dcx, ExtFloat dcy,
                         uint64_t* steps = nullptr, EscapedZ* z = nullptr);

// The batch contracts of perturbation_batch.h and perturbation_ext_batch.h,
// one pixel after another; a budget's max_steps counts steps taken.
bool iterate_bla_batch(const OrbitSpan& orbit, const BlaTable<double>& table,
                       uint32_t max_iterations, Orbit* pixels, size_t count, const Budget& budget);
// With `gates` (form_bla_gates, perturbation_bla_ext.h) and the batch's lane
// values, the single steps run on the SIMD lanes, with the same results.
bool iterate_bla_ext_batch(const ExtBatch& batch, const BlaTable<ExtFloat>& table,
                           uint32_t max_iterations, Orbit* records, size_t count,
                           const Budget& budget, const double* gates = nullptr);

}  // namespace quorvel
