// Internal: the extended linear-step loop of bla_steps_ext with its state in the
// open, so that the SIMD lanes (perturbation_bla_ext_lanes.h) can take a pixel's
// single steps and hand it back to this loop wherever the loop could do more
// than a plain single step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bigfloat/orbit_batch.h"
#include "deep/bla_table.h"
#include "deep/perturbation_ext.h"
#include "deep/perturbation_ext_batch.h"
#include "deep/perturbation_ext_walk.h"

namespace quorvel {

// One pixel inside bla_steps_ext's loop: its state between runs of single
// steps, or the kernel's walk in a run, with the run's steps left.
struct ExtBlaState {
    ExtPixelState s{};
    ExtWalk w{};
    bool walking = false;
    uint32_t left = 0;
};

enum class ExtBlaStop : uint8_t { work, ended, lanes };

// bla_steps_ext on `p`, kept between calls. With `to_lanes` it stops (lanes)
// as a run of single steps from an aligned index starts: the walk settled,
// the run's length in p.left. An ended pixel's z is in p.s.escaped.
ExtBlaStop bla_run_ext(const ExtOrbitSpan& orbit, const BlaTable<ExtFloat>& table,
                       uint32_t max_iterations, ExtFloat dcx, ExtFloat dcy, ExtBlaState& p,
                       uint64_t& work, uint32_t& result, bool to_lanes);

// Iterations from m to the next index a linear step may start from.
inline uint32_t bla_to_aligned(uint32_t m, uint32_t mask) {
    return m == 0 ? 1 : mask + 1 - ((m - 1) & mask);
}
inline uint32_t bla_next_mark(uint32_t n) { return n > UINT32_MAX / 2 ? UINT32_MAX : 2 * n; }

// An extended record's state (perturbation_ext_batch.h) from a pixel's.
void pack_ext_record(const ExtPixelState& s, Orbit& o);

// What the lanes read at each reference index m (length + 1 values): NaN
// where no run of single steps ends (m not 1 + j 2^first_level, the last index
// and one past it), -inf where one ends but no linear step starts, and
// elsewhere e + 2 for the first level's radius r2 = f 2^e, f in [1, 2): from
// |dz|^2 >= 2^(e + 2) no step of the table is valid there.
void form_bla_gates(const BlaTable<ExtFloat>& table, uint32_t length, std::vector<double>& gates);

// iterate_bla_ext_batch on the SIMD lanes at `level` (clamped to what the
// processor has), with the gates of form_bla_gates; false at the scalar level,
// where nothing is done.
bool iterate_bla_ext_lanes_at(SimdLevel level, const ExtBatch& batch,
                              const BlaTable<ExtFloat>& table, const double* gates,
                              uint32_t max_iterations, Orbit* records, size_t count,
                              const Budget& budget, bool& all_done);

}  // namespace quorvel
