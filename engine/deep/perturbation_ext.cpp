// The extended perturbation kernel (perturbation_ext_walk.h). A step is the
// double kernel's step on w, scaled by exact powers of two, so it rounds as the
// double step does wherever that stays in the normal range: the counts are the
// double kernel's where doubles suffice.
//
// Below that, terms far smaller than the ones they are added to underflow to
// zero instead, which leaves sums unchanged. That holds while |dz| < 2^-370
// ("deep", k < -440) only where |Z_m| and |Z_{m+1}| exceed 2^-300, which also
// rules out a rebase; elsewhere (Z_0 = 0, a reference passing near 0) the
// step is taken in ExtFloats, which round as doubles would.
#include "deep/perturbation_ext.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "deep/perturbation_ext_walk.h"

namespace quorvel {

using namespace ext_walk;

namespace {

constexpr double kLow = 4.0 - 4.0 * kUndecidedEscape;
constexpr ExtFloat kLowX(kLow), kFour(4.0), kStepError(kStepErrorSquared);

// 2^k for k <= 1023, 0 below the normal range.
double pow2_or_zero(int64_t k) {
    return k < -1022 ? 0.0 : std::bit_cast<double>(uint64_t(k + 1023) << 52);
}

// x / 2^k rounded to a double, or 0 below the normal range: ldexp and
// to_double without their checks for exponents far out of range.
double scaled_down(ExtFloat x, int64_t k) {
    // Zero and non-finite values keep e == 0 and pass through unchanged.
    if (x.m == 0.0 || !(x.m - x.m == 0.0)) return x.m;
    const int64_t e = x.e - k;
    if (e < -1022) return 0.0;
    if (e > 1023) return std::copysign(HUGE_VAL, x.m);
    return std::bit_cast<double>(std::bit_cast<uint64_t>(x.m) + (uint64_t(e) << 52));
}

// A reference value for the scaled step, read as zero below 2^lowest: below
// 2^-1022 (never in a double orbit), and when deep below 2^-500, far under
// the other component of a Z the step may use. Products of such values would
// leave the normal range, and subnormals are slow on some processors.
double reference_double(const ExtFloat& z, int64_t lowest) {
    return z.e >= lowest
               ? std::bit_cast<double>(std::bit_cast<uint64_t>(z.m) + (uint64_t(z.e) << 52))
               : 0.0;
}

int64_t lowest_reading(ExtRegime regime) { return regime == ExtRegime::deep ? -500 : -1022; }

bool big(double zr, double zi) { return std::max(std::fabs(zr), std::fabs(zi)) >= kBigReference; }

ExtFloat norm(ExtFloat x, ExtFloat y) { return x * x + y * y; }

// The largest exponent of the non-zero values among x and y, or `none`.
int64_t top_exponent(ExtFloat x, ExtFloat y, int64_t none) {
    if (x.is_zero()) return y.is_zero() ? none : y.e;
    return y.is_zero() ? x.e : std::max(x.e, y.e);
}

}  // namespace

ExtPixelKernel::ExtPixelKernel(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                               ExtFloat dcy, bool watch_cycles)
    : re_(orbit.re),
      im_(orbit.im),
      last_(orbit.length - 1),
      escaped_(orbit.escaped),
      max_iterations_(max_iterations),
      dcx_(dcx),
      dcy_(dcy),
      dc_scale_(top_exponent(dcx, dcy, 0)),
      lowest_scale_(dcx.is_zero() && dcy.is_zero() ? -kExtMaxExponent : dc_scale_ - kHeadroom),
      watch_cycles_(watch_cycles) {}

int64_t ExtPixelKernel::zero_scale() const { return std::max(dc_scale_, lowest_scale_); }

void ExtPixelKernel::set_offset(ExtWalk& w, ExtFloat dx, ExtFloat dy) const {
    const int64_t k = std::max(top_exponent(dx, dy, dc_scale_), lowest_scale_);
    w.wx = scaled_down(dx, k);
    w.wy = scaled_down(dy, k);
    set_scale(w, k);
}

void ExtPixelKernel::set_scale(ExtWalk& w, int64_t k) const {
    w.k = k;
    w.vx = scaled_down(dcx_, k);
    w.vy = scaled_down(dcy_, k);
    w.regime = k > kLargestFastScale ? ExtRegime::exact
               : k >= kShallowScale  ? ExtRegime::shallow
                                     : ExtRegime::deep;
    // 2^k w and 2^2k |w|^2 as doubles where they stay normal for every w in
    // the window; below, they cannot change the sums they go into, and
    // subnormal operands are slow on some processors.
    const bool fast = w.regime != ExtRegime::exact;
    w.s = fast && k >= kLowestScale ? pow2_or_zero(k) : 0.0;
    w.s2 = fast && 2 * k >= kLowestScale + 64 ? pow2_or_zero(2 * k) : 0.0;
}

void ExtPixelKernel::set_error(ExtWalk& w, ExtFloat error) const {
    // An error far below the step's own contribution is dropped, as in a sum.
    const int64_t ke = std::max(error.is_zero() ? 2 * w.k : error.e, 2 * w.k - kHeadroom);
    w.ke = ke;
    w.eps = scaled_down(error, ke);
    w.f = pow2_or_zero(2 * w.k - ke);
}

void ExtPixelKernel::read_reference(ExtWalk& w) const {
    const int64_t lowest = lowest_reading(w.regime);
    w.zr = reference_double(re_[w.m], lowest);
    w.zi = reference_double(im_[w.m], lowest);
}

void ExtPixelKernel::enter(const ExtPixelState& state, ExtWalk& w) const {
    set_offset(w, state.dx, state.dy);
    set_error(w, state.error);
    w.m = state.m;
    w.n = state.n;
    w.previous_exact = norm(re_[w.m] + state.dx, im_[w.m] + state.dy);
    w.previous = w.previous_exact.to_double();
    w.exact_is_current = true;
    read_reference(w);
    w.big_m = big(w.zr, w.zi);
    w.seen = state.seen;
    w.skipped = state.skipped;
}

namespace {

// The exponent field of x: 0 for zero and subnormals, 2047 for non-finite x.
int64_t exponent_field(double x) { return int64_t((std::bit_cast<uint64_t>(x) >> 52) & 0x7ff); }

// x 2^d for x zero or normal with exponent field `field`, or 0 below the
// normal range, as scaled_down gives it.
double shifted(double x, int64_t field, int64_t d) {
    if (field + d < 1) return 0.0;
    return std::bit_cast<double>(std::bit_cast<uint64_t>(x) + (uint64_t(d) << 52));
}

}  // namespace

bool ExtPixelKernel::settle(ExtWalk& w) const {
    // After a scaled step |z|^2 >= 2^-960 is the exact one rounded: parts of z
    // read or formed as zero, or as subnormals, stay below a quarter of its
    // last place.
    if (w.exact_is_current || !(w.previous >= 0x1p-960) || w.regime == ExtRegime::exact)
        return false;
    const int64_t fx = exponent_field(w.wx), fy = exponent_field(w.wy);
    const int64_t fe = exponent_field(w.eps);
    const bool x_ok = fx != 0 ? fx != 0x7ff : w.wx == 0.0;
    const bool y_ok = fy != 0 ? fy != 0x7ff : w.wy == 0.0;
    if (!x_ok || !y_ok || (fx == 0 && fy == 0) || fe == 0 || fe == 0x7ff) return false;
    // set_offset's scale of dz = w 2^k, and set_error's of the error.
    const int64_t k = std::max(w.k + std::max(fx, fy) - 1023, lowest_scale_);
    if (k > kLargestFastScale) return false;
    const int64_t error_exponent = w.ke + fe - 1023;
    const int64_t ke = std::max(error_exponent, 2 * k - kHeadroom);
    w.wx = fx == 0 ? 0.0 : shifted(w.wx, fx, w.k - k);
    w.wy = fy == 0 ? 0.0 : shifted(w.wy, fy, w.k - k);
    w.eps = shifted(w.eps, fe, w.ke - ke);
    w.ke = ke;
    if (k != w.k) {
        const ExtRegime before = w.regime;
        set_scale(w, k);
        if (w.regime != before) {
            read_reference(w);
            w.big_m = big(w.zr, w.zi);
        }
    }
    w.f = pow2_or_zero(2 * w.k - ke);
    return true;
}

ExtPixelState ExtPixelKernel::leave(const ExtWalk& w) {
    ExtPixelState s{ExtFloat::make(w.wx, w.k),
                    ExtFloat::make(w.wy, w.k),
                    w.m,
                    w.n,
                    ExtFloat::make(w.eps, w.ke),
                    w.seen};
    s.skipped = w.skipped;
    return s;
}

void ExtPixelKernel::rescale(ExtWalk& w) const {
    const ExtFloat error = ExtFloat::make(w.eps, w.ke);
    set_offset(w, ExtFloat::make(w.wx, w.k), ExtFloat::make(w.wy, w.k));
    set_error(w, error);
    read_reference(w);
}

// Closer to 0 than to the reference, or at its end: restart it, with the whole
// value, formed exactly, as the offset.
void ExtPixelKernel::restart(ExtWalk& w, double px, double py) const {
    const ExtFloat e = ExtFloat::make(w.eps, w.ke);
    set_offset(w, re_[w.m] + ExtFloat::make(px, w.k), im_[w.m] + ExtFloat::make(py, w.k));
    set_error(w, e);
    w.m = 0;
    w.zr = w.zi = 0.0;
    w.big_m = false;
}

// The double kernel's step in ExtFloats, which round as doubles do in range.
bool ExtPixelKernel::exact_step(ExtWalk& w, uint32_t& result) const {
    if (!w.exact_is_current) w.previous_exact = ExtFloat(w.previous);
    uint32_t m = w.m;
    const ExtFloat dx = ExtFloat::make(w.wx, w.k), dy = ExtFloat::make(w.wy, w.k);
    const ExtFloat ar = (re_[m] + re_[m]) + dx, ai = (im_[m] + im_[m]) + dy;
    const ExtFloat nx = ((ar * dx) - (ai * dy)) + dcx_;
    const ExtFloat ny = ((ar * dy) + (ai * dx)) + dcy_;
    ++m;
    const uint32_t n = ++w.n;
    const ExtFloat d = norm(nx, ny);
    const ExtFloat e =
        ((kFour * w.previous_exact) * ExtFloat::make(w.eps, w.ke)) + (kStepError * d);
    const ExtFloat x = re_[m] + nx, y = im_[m] + ny;
    const ExtFloat r = norm(x, y);
    w.previous_exact = r;
    w.previous = r.to_double();
    w.exact_is_current = true;
    if (r >= kLowX) {
        result = escape_kept(r.to_double(), e.to_double(), n, x.to_double(), y.to_double(),
                             (re_[1] + dcx_).to_double(), (im_[1] + dcy_).to_double(), w.skipped)
                     ? n
                     : kNeedsOtherReference;
        w.escaped = EscapedZ{x.to_double(), y.to_double()};
        return true;
    }
    if (n + 1 >= max_iterations_) {
        result = n + 1;
        return true;
    }
    const bool rebase = r < d;
    if (!rebase && m == last_ && escaped_) {
        result = kNeedsOtherReference;
        return true;
    }
    if (rebase || m == last_) {
        m = 0;
        set_offset(w, x, y);
    } else {
        set_offset(w, nx, ny);
    }
    set_error(w, e);
    w.m = m;
    read_reference(w);
    w.big_m = big(w.zr, w.zi);
    return false;
}

bool ExtPixelKernel::advance(ExtWalk& w, uint32_t steps, uint32_t& result) const {
    // The loop works on copies, so that they stay in registers.
    double wx, wy, eps, s, s2, vx, vy, f, floor;
    ExtRegime regime;
    int64_t lowest;
    // Brent's cycle detection: the state is remembered at counts that double.
    // A pixel back at a remembered state repeats it forever and never escapes.
    // seen_w is the remembered real part of dz at the present scale, which
    // the present w equals when the values are equal.
    const uint32_t seen_n = w.seen.n;
    uint32_t next_mark = !watch_cycles_            ? UINT32_MAX
                         : seen_n > UINT32_MAX / 2 ? UINT32_MAX
                                                   : 2 * seen_n;
    double seen_w = 0.0;
    auto at_scale = [&] {
        const bool any = watch_cycles_ && w.seen.n != 0 && w.seen.x == w.seen.x;
        seen_w = any ? scaled_down(w.seen.x, w.k) : std::numeric_limits<double>::quiet_NaN();
    };
    auto fill = [&] {
        at_scale();
        wx = w.wx, wy = w.wy, eps = w.eps, s = w.s, s2 = w.s2, vx = w.vx, vy = w.vy, f = w.f;
        regime = w.regime;
        lowest = lowest_reading(regime);
        floor = regime == ExtRegime::deep ? kDeepReadingFloor : 0.0;
    };
    auto spill = [&] { w.wx = wx, w.wy = wy, w.eps = eps; };
    fill();
    uint32_t m = w.m, n = w.n;
    double previous = w.previous, zr = w.zr, zi = w.zi;
    bool exact_is_current = w.exact_is_current, big_m = w.big_m;
    for (; steps > 0; --steps) {
        const double zr1 = reference_double(re_[m + 1], lowest),
                     zi1 = reference_double(im_[m + 1], lowest);
        // Only deep steps ask whether Z is big: big_m is kept outside the
        // shallow regime, and formed afresh wherever the regime changes.
        const bool shallow = regime == ExtRegime::shallow;
        const bool big_m1 = !shallow && big(zr1, zi1);
        if (!shallow && (regime == ExtRegime::exact || !(big_m && big_m1))) [[unlikely]] {
            spill();
            w.m = m, w.n = n, w.previous = previous, w.exact_is_current = exact_is_current;
            if (exact_step(w, result)) return true;
            fill();
            m = w.m, n = w.n, previous = w.previous, exact_is_current = true;
            zr = w.zr, zi = w.zi, big_m = w.big_m;
            continue;
        }
        // dz <- (2 Z_m + dz) dz + dc, divided by 2^k.
        const double ar = (zr + zr) + s * wx, ai = (zi + zi) + s * wy;
        const double px = ((ar * wx) - (ai * wy)) + vx;
        const double py = ((ar * wy) + (ai * wx)) + vy;
        ++m;
        ++n;
        const double dw = px * px + py * py;
        eps = ((4.0 * previous) * eps) + ((kStepErrorSquared * dw) * f);
        const double x = zr1 + s * px, y = zi1 + s * py;
        double xs = x, ys = y;
        if (floor != 0.0) {  // deep
            const double ax = std::fabs(x), ay = std::fabs(y);
            xs = ax < floor && ay >= kDeepSquareFloor ? 0.0 : x;
            ys = ay < floor && ax >= kDeepSquareFloor ? 0.0 : y;
        }
        const double r = xs * xs + ys * ys;
        previous = r;
        exact_is_current = false;
        wx = px;
        wy = py;
        if (r >= kLow) {
            result =
                escape_kept(r, ExtFloat::make(eps, w.ke).to_double(), n, x, y,
                            (re_[1] + dcx_).to_double(), (im_[1] + dcy_).to_double(), w.skipped)
                    ? n
                    : kNeedsOtherReference;
            w.escaped = EscapedZ{x, y};
            return true;
        }
        if (n + 1 >= max_iterations_) {
            result = n + 1;
            w.n = n;
            return true;
        }
        const double d = s2 * dw;
        if (r < d || m == last_) [[unlikely]] {
            if (!(r < d) && escaped_) {
                result = kNeedsOtherReference;
                return true;
            }
            spill();
            w.m = m;
            restart(w, px, py);
            fill();
            m = 0;
            zr = zi = 0.0;
            big_m = false;
        } else {
            zr = zr1, zi = zi1;
            big_m = big_m1;
            const double a = std::max(std::fabs(wx), std::fabs(wy));
            if (!(a <= kHighW && a >= kLowW) || !(eps <= kHighError && eps >= kLowError))
                [[unlikely]] {
                spill();
                w.m = m;
                rescale(w);
                fill();
                zr = w.zr, zi = w.zi;
                big_m = big(zr, zi);
            }
        }
        if (wx == seen_w || n >= next_mark) [[unlikely]] {
            spill();
            w.m = m, w.n = n, w.previous = previous;
            const ExtSeen now = walk_state(w);
            if (now.same(w.seen)) {
                result = max_iterations_;
                return true;
            }
            if (n >= next_mark) {
                w.seen = now;
                seen_w = wx;
                next_mark = n > UINT32_MAX / 2 ? UINT32_MAX : 2 * n;
            }
        }
    }
    spill();
    w.m = m, w.n = n, w.previous = previous, w.exact_is_current = exact_is_current;
    w.zr = zr, w.zi = zi, w.big_m = big(zr, zi);
    return false;
}

bool perturbed_steps_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                         ExtFloat dcy, ExtPixelState& s, uint32_t steps, uint32_t& result) {
    const ExtPixelKernel kernel(orbit, max_iterations, dcx, dcy);
    ExtWalk w;
    kernel.enter(s, w);
    if (kernel.advance(w, steps, result)) {
        s.escaped = w.escaped;
        return true;
    }
    s = ExtPixelKernel::leave(w);
    return false;
}

uint32_t iterate_perturbed_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                               ExtFloat dcy, EscapedZ* z) {
    const ExtPixelKernel kernel(orbit, max_iterations, dcx, dcy);
    ExtWalk w;
    kernel.enter(ExtPixelState{}, w);
    uint32_t result = 0;
    while (!kernel.advance(w, UINT32_MAX, result)) {
    }
    if (z) *z = w.escaped;
    return result;
}

}  // namespace quorvel
