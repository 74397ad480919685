#include "deep/perturbation_precise.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace quorvel {

namespace {

// Rounding error of a step, squared, relative to |dz|^2: a few units in the
// last place of the type's products and sums, and of the reference's values.
double step_error_squared(long double) {
    // Where long double is a double, it rounds as one.
    return std::numeric_limits<long double>::digits >= 64 ? 0x1p-122 : 4.0 * kStepErrorSquared;
}
// Twofold sums hold the reference to about 2^-106 (two 53-bit parts).
double step_error_squared(DoubleDouble) { return 0x1p-200; }
double step_error_squared(LongDoubleDouble) { return 0x1p-200; }

// The x87 format: a 64-bit significand with its leading bit, then the sign
// and a 15-bit exponent biased by 16383.
constexpr bool kX87 = std::numeric_limits<long double>::digits == 64 &&
                      std::numeric_limits<long double>::max_exponent == 16384;

// value = m 2^e as a long double: exact for the 53-bit m, 0 far below the
// smallest long double (where no value of a view lies). 2^e is formed from its
// bits, as ldexpl would cost more than the step itself.
long double to_long_double(ExtFloat x) {
    if (x.m == 0.0 || x.e < -16300) return 0.0L;
    if constexpr (kX87) {
        const uint64_t significand = uint64_t{1} << 63;
        const auto exponent = static_cast<uint16_t>(x.e + 16383);
        long double scale = 0.0L;
        std::memcpy(&scale, &significand, sizeof significand);
        std::memcpy(reinterpret_cast<unsigned char*>(&scale) + sizeof significand, &exponent,
                    sizeof exponent);
        return static_cast<long double>(x.m) * scale;
    }
    return std::ldexp(static_cast<long double>(x.m), static_cast<int>(x.e));
}

// Z_k, from its double or extended parts.
long double value(const double* hi, const double* lo, const ExtFloat* ext_hi,
                  const ExtFloat* ext_lo, uint32_t k, long double) {
    if (ext_hi) return to_long_double(ext_hi[k]) + to_long_double(ext_lo[k]);
    return static_cast<long double>(hi[k]) + static_cast<long double>(lo[k]);
}
DoubleDouble value(const double* hi, const double* lo, const ExtFloat*, const ExtFloat*, uint32_t k,
                   DoubleDouble) {
    return {hi[k], lo[k]};
}
LongDoubleDouble value(const double* hi, const double* lo, const ExtFloat* ext_hi,
                       const ExtFloat* ext_lo, uint32_t k, LongDoubleDouble) {
    if (ext_hi)
        return twofold_detail::quick_two_sum(to_long_double(ext_hi[k]), to_long_double(ext_lo[k]));
    return twofold_detail::quick_two_sum(static_cast<long double>(hi[k]),
                                         static_cast<long double>(lo[k]));
}

long double twice(long double x) { return x + x; }
// Leading parts, for the tests; long double keeps the range that extended
// offsets and their squares need.
long double leading(long double x) { return x; }
double leading(DoubleDouble x) { return x.hi; }
long double leading(LongDoubleDouble x) { return x.hi; }

}  // namespace

template <class T>
bool precise_steps(const PreciseOrbitSpan& orbit, uint32_t max_iterations, T dcx, T dcy,
                   PreciseState<T>& s, uint32_t steps, uint32_t& result) {
    const uint32_t last = orbit.length - 1;
    auto z_re = [&](uint32_t k) {
        return value(orbit.re, orbit.re_low, orbit.ext_re, orbit.ext_re_low, k, T{});
    };
    auto z_im = [&](uint32_t k) {
        return value(orbit.im, orbit.im_low, orbit.ext_im, orbit.ext_im_low, k, T{});
    };
    using Real = decltype(leading(T{}));
    const Real step_error = step_error_squared(T{});
    T dx = s.dx, dy = s.dy;
    Real error = s.error;
    uint32_t m = s.m, n = s.n;
    const Real x0 = leading(z_re(m) + dx), y0 = leading(z_im(m) + dy);
    Real previous = x0 * x0 + y0 * y0;
    for (; steps > 0; --steps) {
        // dz <- (2 Z_m + dz) dz + dc.
        const T ar = twice(z_re(m)) + dx, ai = twice(z_im(m)) + dy;
        const T nx = ((ar * dx) - (ai * dy)) + dcx;
        const T ny = ((ar * dy) + (ai * dx)) + dcy;
        dx = nx;
        dy = ny;
        ++m;
        ++n;
        const Real ddx = leading(dx), ddy = leading(dy);
        const Real d = ddx * ddx + ddy * ddy;
        error = ((Real(4.0) * previous) * error) + (step_error * d);
        const T x = z_re(m) + dx, y = z_im(m) + dy;
        const Real lx = leading(x), ly = leading(y);
        const Real r = lx * lx + ly * ly;
        previous = r;
        if (r >= Real(4.0 - 4.0 * kUndecidedEscape)) {
            // An error below the double range is as good as none.
            result = escape_decided(static_cast<double>(r), static_cast<double>(error), n)
                         ? n
                         : kNeedsOtherReference;
            s.escaped = EscapedZ{static_cast<double>(lx), static_cast<double>(ly)};
            return true;
        }
        if (ends_or_rebases(x, y, r, d, n, max_iterations, last, orbit.escaped, dx, dy, m, result))
            return true;
    }
    s = PreciseState<T>{dx, dy, m, n, error, s.escaped};
    return false;
}

template bool precise_steps<long double>(const PreciseOrbitSpan&, uint32_t, long double,
                                         long double, PreciseState<long double>&, uint32_t,
                                         uint32_t&);
template bool precise_steps<LongDoubleDouble>(const PreciseOrbitSpan&, uint32_t, LongDoubleDouble,
                                              LongDoubleDouble, PreciseState<LongDoubleDouble>&,
                                              uint32_t, uint32_t&);
template bool precise_steps<DoubleDouble>(const PreciseOrbitSpan&, uint32_t, DoubleDouble,
                                          DoubleDouble, PreciseState<DoubleDouble>&, uint32_t,
                                          uint32_t&);

}  // namespace quorvel
