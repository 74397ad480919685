// Internal: the double linear-step batch kernel on SIMD lanes. The lanes take
// the single steps; bla_steps takes every step that could differ from one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bigfloat/orbit_batch.h"
#include "deep/bla_table.h"
#include "deep/perturbation_step.h"

namespace quorvel {

// Whether bla_steps takes a single step from s, as the lanes see it: s.m is
// no index where a linear step starts, or |dz| is beyond the shortest one's
// radius. Where true, bla_steps surely takes a single step.
bool bla_lanes_step(const BlaTable<double>& table, const PixelState& s);

// bla_steps, which also stops once the pixel stands where the lanes can take
// its next step; at least one step.
bool bla_steps_to_lanes(const OrbitSpan& orbit, const BlaTable<double>& table,
                        uint32_t max_iterations, double dcx, double dcy, PixelState& s,
                        uint64_t& work, uint32_t& result);

#if defined(__x86_64__)
bool iterate_bla_batch_sse2(const OrbitSpan& orbit, const BlaTable<double>& table,
                            uint32_t max_iterations, Orbit* pixels, size_t count,
                            const Budget& budget);
#if defined(__GNUC__)
bool iterate_bla_batch_avx2(const OrbitSpan& orbit, const BlaTable<double>& table,
                            uint32_t max_iterations, Orbit* pixels, size_t count,
                            const Budget& budget);
bool iterate_bla_batch_avx512(const OrbitSpan& orbit, const BlaTable<double>& table,
                              uint32_t max_iterations, Orbit* pixels, size_t count,
                              const Budget& budget);
#endif
#endif

}  // namespace quorvel
