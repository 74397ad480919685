#include "deep/perturbation_precise.h"

namespace quorvel {

bool precise_steps(const PreciseOrbitSpan& orbit, uint32_t max_iterations, DoubleDouble dcx,
                   DoubleDouble dcy, PrecisePixelState& s, uint32_t steps, uint32_t& result) {
    const uint32_t last = orbit.length - 1;
    auto z_re = [&](uint32_t k) { return DoubleDouble{orbit.re[k], orbit.re_low[k]}; };
    auto z_im = [&](uint32_t k) { return DoubleDouble{orbit.im[k], orbit.im_low[k]}; };
    DoubleDouble dx = s.dx, dy = s.dy;
    double error = s.error;
    uint32_t m = s.m, n = s.n;
    const double x0 = to_double(z_re(m) + dx), y0 = to_double(z_im(m) + dy);
    double previous = x0 * x0 + y0 * y0;
    for (; steps > 0; --steps) {
        // dz <- (2 Z_m + dz) dz + dc.
        const DoubleDouble ar = twice(z_re(m)) + dx, ai = twice(z_im(m)) + dy;
        const DoubleDouble nx = ((ar * dx) - (ai * dy)) + dcx;
        const DoubleDouble ny = ((ar * dy) + (ai * dx)) + dcy;
        dx = nx;
        dy = ny;
        ++m;
        ++n;
        const double d = dx.hi * dx.hi + dy.hi * dy.hi;
        error = ((4.0 * previous) * error) + (kPreciseStepErrorSquared * d);
        const DoubleDouble x = z_re(m) + dx, y = z_im(m) + dy;
        const double r = x.hi * x.hi + y.hi * y.hi;
        previous = r;
        if (r >= 4.0 - 4.0 * kUndecidedEscape) {
            result = escape_decided(r, error, n) ? n : kNeedsOtherReference;
            return true;
        }
        if (n + 1 >= max_iterations) {
            result = n + 1;
            return true;
        }
        if (r < d) {
            dx = x;
            dy = y;
            m = 0;
        } else if (m == last) {
            if (orbit.escaped) {
                result = kNeedsOtherReference;
                return true;
            }
            dx = x;
            dy = y;
            m = 0;
        }
    }
    s = PrecisePixelState{dx, dy, m, n, error};
    return false;
}

}  // namespace quorvel
