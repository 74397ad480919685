#include "deep/perturbation_ext.h"

namespace quorvel {

bool perturbed_steps_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                         ExtFloat dcy, ExtPixelState& s, uint32_t steps, uint32_t& result) {
    const ExtFloat* const zre = orbit.re;
    const ExtFloat* const zim = orbit.im;
    const uint32_t last = orbit.length - 1;
    const ExtFloat four(4.0), step_error(kStepErrorSquared);
    const double low = 4.0 - 4.0 * kUndecidedEscape;
    ExtFloat dx = s.dx, dy = s.dy, error = s.error;
    uint32_t m = s.m, n = s.n;
    ExtFloat previous = (zre[m] + dx) * (zre[m] + dx) + (zim[m] + dy) * (zim[m] + dy);
    for (; steps > 0; --steps) {
        // The operations of perturbed_steps, in its order.
        const ExtFloat ar = (zre[m] + zre[m]) + dx, ai = (zim[m] + zim[m]) + dy;
        const ExtFloat nx = ((ar * dx) - (ai * dy)) + dcx;
        const ExtFloat ny = ((ar * dy) + (ai * dx)) + dcy;
        dx = nx;
        dy = ny;
        ++m;
        ++n;
        const ExtFloat d = dx * dx + dy * dy;
        error = ((four * previous) * error) + (step_error * d);
        const ExtFloat x = zre[m] + dx, y = zim[m] + dy;
        const ExtFloat r = x * x + y * y;
        previous = r;
        const double rd = r.to_double();
        if (rd >= low) {
            result = escape_decided(rd, error.to_double(), n) ? n : kNeedsOtherReference;
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
    s.dx = dx;
    s.dy = dy;
    s.m = m;
    s.n = n;
    s.error = error;
    return false;
}

uint32_t iterate_perturbed_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                               ExtFloat dcy) {
    ExtPixelState s;
    uint32_t result = 0;
    while (!perturbed_steps_ext(orbit, max_iterations, dcx, dcy, s, UINT32_MAX, result)) {
    }
    return result;
}

}  // namespace quorvel
