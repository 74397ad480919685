// The continuous escape value s of an escaped pixel, from its own orbit.
#pragma once

#include <cmath>

#include "storage/fraction_code.h"

namespace quorvel {

// z = (x, y) is the first point of the orbit of c = (cx, cy) with |z| >= 2,
// z_n for the escape count n. Returns s - n coded as 1 + (s - n), in [1, 2),
// on the grid of fraction_code (so that it packs without loss); 0 is left for
// "no fraction".
//
// With L(z) = log2(log2 |z|), which grows by about 1 a step once |z| is large,
// s - n = -L(z_{n-1}) / (L(z_n) - L(z_{n-1})). For z -> z^2 that is the
// log-log value 1 - L(z_n); for any c it is exactly 1 where |z_n| = 2 and 0
// where |z_{n-1}| = 2, so s joins up across the boundaries between counts.
// |z_{n-1}|^2 is |z_n - c|.
inline float smooth_fraction_code(double cx, double cy, double x, double y) {
    const double rn = x * x + y * y;
    const double dx = x - cx, dy = y - cy;
    const double rp = std::sqrt(dx * dx + dy * dy);  // |z_{n-1}|^2
    if (!(rp > 1.0)) return fraction_code(1.0);      // L(z_{n-1}) is -infinity: s - n tends to 1
    const double ln = std::log2(0.5 * std::log2(rn));
    const double lp = std::log2(0.5 * std::log2(rp));
    if (!(ln >= 0.0) || !(lp < 0.0)) return 1.0f;  // only by rounding, at |z| = 2
    return fraction_code(-lp / (ln - lp));
}

}  // namespace quorvel
