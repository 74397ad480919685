// Internal: the scalar perturbation loop, resumable, shared by the one-pixel
// kernel and the scalar batch.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

#include "bigfloat/orbit_batch.h"
#include "deep/perturbation.h"

namespace quorvel {

// A pixel between two calls: offset dz, reference index m, tests done n, and
// the squared error estimate of z; for cycle detection, dz and m as they were
// after seen_n tests (seen_n 0: nothing seen yet). A pixel that escaped leaves
// its z in `escaped`. The error sums n - skipped terms (mod 2^32): linear
// steps of l iterations add three each, so they pass over l - 3.
struct PixelState {
    double dx, dy;
    uint32_t m, n;
    double error;
    double seen_dx = std::numeric_limits<double>::quiet_NaN();
    double seen_dy = std::numeric_limits<double>::quiet_NaN();
    uint32_t seen_m = 0, seen_n = 0;
    EscapedZ escaped{};
    uint32_t skipped = 0;
};

// A batch record (perturbation_batch.h) holds a paused pixel's state: dz in
// x, y, m in aux, the error in extra, what cycle detection remembered, and
// the iterations skipped in seen_k, which these kernels do not scale.
inline PixelState state_of_record(const Orbit& o) {
    PixelState s{o.x, o.y, o.aux, o.n, o.extra, o.seen_x, o.seen_y, o.seen_aux, o.seen_n};
    s.skipped = std::bit_cast<uint32_t>(o.seen_k);
    return s;
}
inline void pause_record(Orbit& o, const PixelState& s) {
    o.x = s.dx;
    o.y = s.dy;
    o.aux = s.m;
    o.n = s.n;
    o.extra = s.error;
    o.seen_x = s.seen_dx;
    o.seen_y = s.seen_dy;
    o.seen_aux = s.seen_m;
    o.seen_n = s.seen_n;
    o.seen_k = std::bit_cast<int32_t>(s.skipped);
}
// The record of a pixel that ended with `result`: the count, and its z.
inline void end_record(Orbit& o, const PixelState& s, uint32_t result) {
    o.n = result;
    o.done = true;
    o.x = s.escaped.x;
    o.y = s.escaped.y;
}

// Runs at most `steps` iterations; true with the count (or
// kNeedsOtherReference) in `result` once the pixel ends.
inline bool perturbed_steps(const OrbitSpan& orbit, uint32_t max_iterations, double dcx, double dcy,
                            PixelState& s, uint32_t steps, uint32_t& result) {
    const double* const zre = orbit.re;
    const double* const zim = orbit.im;
    const uint32_t last = orbit.length - 1;
    double dx = s.dx, dy = s.dy, error = s.error;
    uint32_t m = s.m, n = s.n;
    // Brent's cycle detection: dz and m remembered at counts that double. A
    // pixel back at a remembered state repeats it forever and never escapes.
    double seen_dx = s.seen_dx, seen_dy = s.seen_dy;
    uint32_t seen_m = s.seen_m, seen_n = s.seen_n;
    uint32_t next_mark = seen_n > UINT32_MAX / 2 ? UINT32_MAX : 2 * seen_n;
    // |z|^2 of the current z, whose square amplifies the error of the next.
    double previous = (zre[m] + dx) * (zre[m] + dx) + (zim[m] + dy) * (zim[m] + dy);
    for (; steps > 0; --steps) {
        // dz <- (2 Z_m + dz) dz + dc, so that Z_{m+1} + dz is the pixel's next z.
        const double ar = (zre[m] + zre[m]) + dx, ai = (zim[m] + zim[m]) + dy;
        const double nx = ((ar * dx) - (ai * dy)) + dcx;
        const double ny = ((ar * dy) + (ai * dx)) + dcy;
        dx = nx;
        dy = ny;
        ++m;
        ++n;
        const double d = dx * dx + dy * dy;
        error = ((4.0 * previous) * error) + (kStepErrorSquared * d);
        const double x = zre[m] + dx, y = zim[m] + dy;
        const double r = x * x + y * y;
        previous = r;
        if (r >= 4.0 - 4.0 * kUndecidedEscape) {
            result = escape_kept(r, error, n, x, y, zre[1] + dcx, zim[1] + dcy)
                         ? n
                         : kNeedsOtherReference;
            s.escaped = EscapedZ{x, y};
            return true;
        }
        if (ends_or_rebases(x, y, r, d, n, max_iterations, last, orbit.escaped, dx, dy, m, result))
            return true;
        if (dx == seen_dx && dy == seen_dy && m == seen_m) [[unlikely]] {
            result = max_iterations;
            return true;
        }
        if (n >= next_mark) [[unlikely]] {
            seen_dx = dx;
            seen_dy = dy;
            seen_m = m;
            seen_n = n;
            next_mark = n > UINT32_MAX / 2 ? UINT32_MAX : 2 * n;
        }
    }
    s = PixelState{dx, dy, m, n, error, seen_dx, seen_dy, seen_m, seen_n};
    return false;
}

}  // namespace quorvel
