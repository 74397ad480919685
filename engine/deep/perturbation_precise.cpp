#include "deep/perturbation_precise.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "deep/precise_bla_table.h"
#include "deep/precise_values.h"

namespace quorvel {

using precise_detail::leading;
using precise_detail::quick_add;
using precise_detail::step_error_squared;
using precise_detail::twice;
using precise_detail::value;

namespace {

// Linear steps start only at indices 1 + j 2^k, k the table's first level.
bool aligned(uint32_t m, uint32_t mask) { return m != 0 && ((m - 1) & mask) == 0; }

}  // namespace

template <class T, class Real>
bool precise_steps(const PreciseOrbitSpan& orbit, uint32_t max_iterations, T dcx, T dcy,
                   PreciseState<T>& s, uint32_t steps, uint32_t& result,
                   const PreciseBlaTable<T>* table) {
    const uint32_t last = orbit.length - 1;
    auto z_re = [&](uint32_t k) {
        return value(orbit.re, orbit.re_low, orbit.ext_re, orbit.ext_re_low, k, T{});
    };
    auto z_im = [&](uint32_t k) {
        return value(orbit.im, orbit.im_low, orbit.ext_im, orbit.ext_im_low, k, T{});
    };
    const Real step_error = step_error_squared(T{});
    const Real step_unit = std::sqrt(step_error);
    const uint32_t mask = table ? (1u << table->first_level()) - 1 : 0;
    const long double cx = leading(dcx), cy = leading(dcy);
    const long double dc2 = cx * cx + cy * cy;
    const long double dc = std::sqrt(dc2);
    T dx = s.dx, dy = s.dy;
    Real error = s.error;
    Real sum = s.sum;
    uint32_t m = s.m, n = s.n;
    const Real x0 = leading(z_re(m) + dx), y0 = leading(z_im(m) + dy);
    Real previous = x0 * x0 + y0 * y0;
    for (; steps > 0; --steps) {
        const PreciseBlaStep<T>* b = nullptr;
        uint32_t l = 1;
        if (table && aligned(m, mask)) {
            const long double lx = leading(dx), ly = leading(dy);
            const long double d0 = lx * lx + ly * ly;
            b = table->find(m, d0, max_iterations - 1 - n, l);
            if (b) {
                const T nx = ((b->ar * dx) - (b->ai * dy)) + ((b->br * dcx) - (b->bi * dcy));
                const T ny = ((b->ar * dy) + (b->ai * dx)) + ((b->br * dcy) + (b->bi * dcx));
                dx = nx;
                dy = ny;
                const long double ar = leading(b->ar), ai = leading(b->ai);
                const long double br = leading(b->br), bi = leading(b->bi);
                const long double a2 = ar * ar + ai * ai, b2 = br * br + bi * bi;
                // The dropped terms of the skipped iterations, and the
                // rounding the l single steps would have added.
                const long double dz = std::sqrt(d0);
                const long double t = ((b->p * dz) + (b->q * dc)) * dz + b->s * dc2;
                const long double terms = static_cast<long double>(l) + 4.0L;
                const long double kept = a2 * d0 + b2 * dc2;
                error = static_cast<Real>((a2 * error) + ((t * t) + terms * step_error * kept));
                sum = static_cast<Real>((std::sqrt(a2) * sum) +
                                        (t + terms * step_unit * std::sqrt(kept)));
            }
        }
        if (!b) {
            // dz <- (2 Z_m + dz) dz + dc. Twofold sums round to a few units
            // of their operands, as the products and Z_m itself do.
            const T ar = quick_add(twice(z_re(m)), dx), ai = quick_add(twice(z_im(m)), dy);
            const T nx = quick_add(quick_add(ar * dx, -(ai * dy)), dcx);
            const T ny = quick_add(quick_add(ar * dy, ai * dx), dcy);
            dx = nx;
            dy = ny;
            const Real ddx = leading(dx), ddy = leading(dy);
            const Real d = ddx * ddx + ddy * ddy;
            error = ((Real(4.0) * previous) * error) + (step_error * d);
            sum = ((Real(2.0) * std::sqrt(previous)) * sum) + (step_unit * std::sqrt(d));
        }
        m += l;
        n += l;
        const Real ddx = leading(dx), ddy = leading(dy);
        const Real d = ddx * ddx + ddy * ddy;
        const T x = quick_add(z_re(m), dx), y = quick_add(z_im(m), dy);
        const Real lx = leading(x), ly = leading(y);
        const Real r = lx * lx + ly * ly;
        previous = r;
        if (r >= Real(4.0 - 4.0 * kUndecidedEscape)) {
            // An error below the double range is as good as none.
            // The error is at most the sum of its terms' magnitudes, and at
            // most sqrt(n) times their squares' root (Cauchy-Schwarz): the
            // smaller bound decides.
            const double e = static_cast<double>(error), square = static_cast<double>(sum * sum);
            const double bound = std::min(static_cast<double>(n) * e, square);
            const double bound_before =
                n < 2 ? 0.0 : std::min(static_cast<double>(n - 1) * e, square);
            result = escape_kept_within(static_cast<double>(r), e, bound, bound_before, n,
                                        static_cast<double>(lx), static_cast<double>(ly),
                                        static_cast<double>(leading(z_re(1) + dcx)),
                                        static_cast<double>(leading(z_im(1) + dcy)))
                         ? n
                         : kNeedsOtherReference;
            s.escaped = EscapedZ{static_cast<double>(lx), static_cast<double>(ly)};
            return true;
        }
        if (ends_or_rebases(x, y, r, d, n, max_iterations, last, orbit.escaped, dx, dy, m, result))
            return true;
    }
    s = PreciseState<T>{dx, dy, m, n, error, sum, s.escaped};
    return false;
}

template bool precise_steps<long double>(const PreciseOrbitSpan&, uint32_t, long double,
                                         long double, PreciseState<long double>&, uint32_t,
                                         uint32_t&, const PreciseBlaTable<long double>*);
template bool precise_steps<LongDoubleDouble>(const PreciseOrbitSpan&, uint32_t, LongDoubleDouble,
                                              LongDoubleDouble, PreciseState<LongDoubleDouble>&,
                                              uint32_t, uint32_t&,
                                              const PreciseBlaTable<LongDoubleDouble>*);
template bool precise_steps<DoubleDouble>(const PreciseOrbitSpan&, uint32_t, DoubleDouble,
                                          DoubleDouble, PreciseState<DoubleDouble>&, uint32_t,
                                          uint32_t&, const PreciseBlaTable<DoubleDouble>*);
template bool precise_steps<DoubleDouble, long double>(const PreciseOrbitSpan&, uint32_t,
                                                       DoubleDouble, DoubleDouble,
                                                       PreciseState<DoubleDouble>&, uint32_t,
                                                       uint32_t&,
                                                       const PreciseBlaTable<DoubleDouble>*);

}  // namespace quorvel
