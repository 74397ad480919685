// WideView: the place of a view that 192-bit coordinates cannot hold, because
// it is too deep for them or its centre carries more bits: the exact centre,
// and the radius and pixel steps with an extended exponent.
#pragma once

#include <cmath>
#include <cstdint>

#include "bigfloat/ext_float.h"
#include "deep/wide_real.h"

namespace quorvel {

struct WideView {
    WideReal centre_x, centre_y;
    ExtFloat radius;
    // Pixel (x, y) of a w x h grid lies at centre_x + (2x - w) step_x / 2,
    // centre_y + (2y - h) step_y / 2; step_y is negative (rows go down).
    ExtFloat step_x, step_y;
};

}  // namespace quorvel

namespace quorvel {

// The deepest radius (about 1e-315652) and the farthest centre a view may
// have: their numbers stay within a few hundred kilobytes, and one MPFR step
// of a reference within a slice, whatever a file or a caller asks for.
constexpr int64_t kDeepestRadiusExponent = -(int64_t{1} << 20);
constexpr int64_t kFarthestCentreExponent = 64;

// True when a view can hold this place: a finite positive radius no deeper
// than the deepest, and centres (zero or finite) no farther than the farthest.
inline bool holdable_place(const WideReal& x, const WideReal& y, ExtFloat radius) {
    auto near = [](const WideReal& c) {
        return mpfr_zero_p(c.get()) ||
               (mpfr_number_p(c.get()) && mpfr_get_exp(c.get()) <= kFarthestCentreExponent);
    };
    return near(x) && near(y) && radius > ExtFloat() &&
           radius.exponent() >= kDeepestRadiusExponent && std::isfinite(radius.m);
}

}  // namespace quorvel
