// ExtFloat: a double significand with a 64-bit binary exponent, for radii and
// pixel steps far below double's range. Value m * 2^e; normalised: m == 0 with
// e == 0, or 1 <= |m| < 2.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace quorvel {

struct ExtFloat {
    double m;
    int64_t e;

    explicit ExtFloat(double d) : m(d), e(0) {
        if (d == 0.0) m = 0.0;  // no negative zero
        if (d == 0.0 || !std::isfinite(d)) return;
        int exponent = 0;
        m = 2.0 * std::frexp(d, &exponent);  // frexp gives [0.5, 1)
        e = exponent - 1;
    }

    static ExtFloat make(double m, int64_t e) {
        ExtFloat r(m);
        if (r.m == 0.0 || !std::isfinite(r.m)) return r;
        // Saturating: an exponent that far out is beyond any use anyway.
        if (__builtin_add_overflow(r.e, e, &r.e))
            r.e = e < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
        return r;
    }

    double to_double() const {
        constexpr int64_t kLimit = 1 << 20;  // far beyond double's range either way
        return std::ldexp(m, int(e < -kLimit ? -kLimit : e > kLimit ? kLimit : e));
    }
};

}  // namespace quorvel
