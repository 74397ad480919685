#include "deep/perturbation_precise.h"

#include <limits>

namespace quorvel {

namespace {

// Rounding error of a step, squared, relative to |dz|^2: a few units in the
// last place of the type's products and sums, and of the reference's values.
double step_error_squared(long double) {
    // Where long double is a double, it rounds as one.
    return std::numeric_limits<long double>::digits >= 64 ? 0x1p-122 : 4.0 * kStepErrorSquared;
}
double step_error_squared(DoubleDouble) { return 0x1p-200; }

long double from_parts(double hi, double lo, long double) {
    return static_cast<long double>(hi) + static_cast<long double>(lo);
}
DoubleDouble from_parts(double hi, double lo, DoubleDouble) { return {hi, lo}; }

long double twice(long double x) { return x + x; }
double leading(long double x) { return static_cast<double>(x); }
double leading(DoubleDouble x) { return x.hi; }

}  // namespace

template <class T>
bool precise_steps(const PreciseOrbitSpan& orbit, uint32_t max_iterations, T dcx, T dcy,
                   PreciseState<T>& s, uint32_t steps, uint32_t& result) {
    const uint32_t last = orbit.length - 1;
    auto z_re = [&](uint32_t k) { return from_parts(orbit.re[k], orbit.re_low[k], T{}); };
    auto z_im = [&](uint32_t k) { return from_parts(orbit.im[k], orbit.im_low[k], T{}); };
    const double step_error = step_error_squared(T{});
    T dx = s.dx, dy = s.dy;
    double error = s.error;
    uint32_t m = s.m, n = s.n;
    const double x0 = leading(z_re(m) + dx), y0 = leading(z_im(m) + dy);
    double previous = x0 * x0 + y0 * y0;
    for (; steps > 0; --steps) {
        // dz <- (2 Z_m + dz) dz + dc.
        const T ar = twice(z_re(m)) + dx, ai = twice(z_im(m)) + dy;
        const T nx = ((ar * dx) - (ai * dy)) + dcx;
        const T ny = ((ar * dy) + (ai * dx)) + dcy;
        dx = nx;
        dy = ny;
        ++m;
        ++n;
        const double ddx = leading(dx), ddy = leading(dy);
        const double d = ddx * ddx + ddy * ddy;
        error = ((4.0 * previous) * error) + (step_error * d);
        const T x = z_re(m) + dx, y = z_im(m) + dy;
        const double lx = leading(x), ly = leading(y);
        const double r = lx * lx + ly * ly;
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
    s = PreciseState<T>{dx, dy, m, n, error};
    return false;
}

template bool precise_steps<long double>(const PreciseOrbitSpan&, uint32_t, long double,
                                         long double, PreciseState<long double>&, uint32_t,
                                         uint32_t&);
template bool precise_steps<DoubleDouble>(const PreciseOrbitSpan&, uint32_t, DoubleDouble,
                                          DoubleDouble, PreciseState<DoubleDouble>&, uint32_t,
                                          uint32_t&);

}  // namespace quorvel
