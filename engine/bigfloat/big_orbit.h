// Internal: the resumable 192-bit kernel over whichever lane arithmetic the
// including file selected (see big_float_lanes.h); included once per form.
#pragma once

#include "bigfloat/big_float_lanes.h"
#include "bigfloat/orbit_batch.h"

namespace quorvel {
namespace {

// Iterations between two looks at the budget.
constexpr uint32_t kBigOrbitCheck = 256;

bool resume_big_orbit(uint32_t max_iterations, const BigFloat& cx, const BigFloat& cy,
                      BigOrbit& orbit, const Budget& budget) {
    using namespace lanes;
    const Num c_re = from(cx), c_im = from(cy);
    Num x = orbit.n == 0 ? c_re : from(orbit.x);
    Num y = orbit.n == 0 ? c_im : from(orbit.y);
    uint32_t n = orbit.n == 0 ? 1 : orbit.n;
    Seen seen;
    if (orbit.n != 0 && orbit.seen_n != 0) {
        seen.x = from(orbit.seen_x);
        seen.y = from(orbit.seen_y);
        seen.n = orbit.seen_n;
    }
    uint64_t steps = 0;
    const bool done = lanes::orbit(max_iterations, c_re, c_im, x, y, n, seen, kBigOrbitCheck, [&] {
        steps += kBigOrbitCheck;
        return steps >= budget.max_steps || budget.time_over();
    });
    store(orbit.x, x);
    store(orbit.y, y);
    if (!done) {
        store(orbit.seen_x, seen.x);
        store(orbit.seen_y, seen.y);
        orbit.seen_n = seen.n;
    }
    orbit.n = n;
    return done;
}

}  // namespace
}  // namespace quorvel
