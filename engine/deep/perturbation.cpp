#include "deep/perturbation.h"

namespace quorvel {

uint32_t iterate_perturbed(const OrbitSpan& orbit, uint32_t max_iterations, double dcx,
                           double dcy) {
    const double* const zre = orbit.re;
    const double* const zim = orbit.im;
    const uint32_t last = orbit.length - 1;
    double dx = 0.0, dy = 0.0;
    uint32_t m = 0, n = 0;
    for (;;) {
        // dz <- (2 Z_m + dz) dz + dc, so that Z_{m+1} + dz is the pixel's next z.
        const double ar = (zre[m] + zre[m]) + dx, ai = (zim[m] + zim[m]) + dy;
        const double nx = ((ar * dx) - (ai * dy)) + dcx;
        const double ny = ((ar * dy) + (ai * dx)) + dcy;
        dx = nx;
        dy = ny;
        ++m;
        ++n;
        const double x = zre[m] + dx, y = zim[m] + dy;
        const double r = x * x + y * y;
        if (r >= 4.0) return n;
        if (n + 1 >= max_iterations) return n + 1;
        if (r < dx * dx + dy * dy) {
            // The pixel passes closer to 0 than to the reference: restart the
            // reference, with the whole value as offset.
            if (r < kRebaseCancellation * (zre[m] * zre[m] + zim[m] * zim[m]))
                return kNeedsOtherReference;
            dx = x;
            dy = y;
            m = 0;
        } else if (m == last) {
            if (orbit.escaped) return kNeedsOtherReference;
            // A reference cut at its longest kept length: go on from its start.
            dx = x;
            dy = y;
            m = 0;
        }
    }
}

}  // namespace quorvel
