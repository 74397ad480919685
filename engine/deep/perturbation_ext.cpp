// The extended perturbation kernel. A pixel's offset is a pair of doubles w
// times 2^k, with k chosen per pixel and changed only when |w| leaves
// [2^-64, 2^64]; dc is held as dc / 2^k and the error estimate with a scale of
// its own. A step is the double kernel's step on w, scaled by exact powers of
// two, so it rounds as the double step does wherever that stays in the normal
// range: the counts are the double kernel's where doubles suffice.
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

namespace quorvel {
namespace {

constexpr int64_t kShallowScale = -440;
// Offsets above 2^500, never met in a real view, take the ExtFloat step.
constexpr int64_t kLargestFastScale = 500;
constexpr double kBigReference = 0x1p-300;
constexpr double kHighW = 0x1p64, kLowW = 0x1p-64;
constexpr int64_t kLowestScale = -1022 + 64;
constexpr double kHighError = 0x1p400, kLowError = 0x1p-400;
// dc / 2^k and 2^(2k - error scale) stay below 2^961.
constexpr int64_t kHeadroom = 960;

constexpr double kLow = 4.0 - 4.0 * kUndecidedEscape;
constexpr ExtFloat kLowX(kLow), kFour(4.0), kStepError(kStepErrorSquared);

enum class Regime { shallow, deep, exact };

// 2^k for k <= 1023, 0 below the normal range.
double pow2_or_zero(int64_t k) {
    return k < -1022 ? 0.0 : std::bit_cast<double>(uint64_t(k + 1023) << 52);
}

// x / 2^k rounded to a double, or 0 below the normal range.
double scaled_down(ExtFloat x, int64_t k) {
    const ExtFloat y = ldexp(x, -k);
    return y.e >= -1022 ? y.to_double() : 0.0;
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

bool big(double zr, double zi) { return std::max(std::fabs(zr), std::fabs(zi)) >= kBigReference; }

ExtFloat norm(ExtFloat x, ExtFloat y) { return x * x + y * y; }

// The largest exponent of the non-zero values among x and y, or `none`.
int64_t top_exponent(ExtFloat x, ExtFloat y, int64_t none) {
    if (x.is_zero()) return y.is_zero() ? none : y.e;
    return y.is_zero() ? x.e : std::max(x.e, y.e);
}

// A pixel as the loop holds it: dz = (wx, wy) 2^k, error = eps 2^ke, and what
// follows from k and ke.
struct Scaled {
    double wx, wy, eps;
    int64_t k, ke;
    double s, s2;   // 2^k and 2^2k, or 0 far below the normal range
    double vx, vy;  // dc / 2^k
    double f;       // 2^(2k - ke)
    Regime regime;
};

class Kernel {
public:
    Kernel(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx, ExtFloat dcy)
        : re_(orbit.re),
          im_(orbit.im),
          last_(orbit.length - 1),
          escaped_(orbit.escaped),
          max_iterations_(max_iterations),
          dcx_(dcx),
          dcy_(dcy),
          dc_scale_(top_exponent(dcx, dcy, 0)),
          lowest_scale_(dcx.is_zero() && dcy.is_zero() ? -kExtMaxExponent : dc_scale_ - kHeadroom) {
    }

    bool run(ExtPixelState& state, uint32_t steps, uint32_t& result) const;

private:
    void set_offset(Scaled& p, ExtFloat dx, ExtFloat dy) const;
    void set_error(Scaled& p, ExtFloat error) const;
    ExtFloat error(const Scaled& p) const { return ExtFloat::make(p.eps, p.ke); }
    [[gnu::noinline]] void rescale(Scaled& p) const {
        set_offset(p, ExtFloat::make(p.wx, p.k), ExtFloat::make(p.wy, p.k));
        set_error(p, error(p));
    }
    [[gnu::noinline]] void restart(Scaled& p, uint32_t m, double px, double py) const {
        const ExtFloat e = error(p);
        set_offset(p, re_[m] + ExtFloat::make(px, p.k), im_[m] + ExtFloat::make(py, p.k));
        set_error(p, e);
    }
    [[gnu::noinline]] bool exact_step(Scaled& p, uint32_t& m, uint32_t& n, ExtFloat& previous,
                                      uint32_t& result) const;

    const ExtFloat* const re_;
    const ExtFloat* const im_;
    const uint32_t last_;
    const bool escaped_;
    const uint32_t max_iterations_;
    const ExtFloat dcx_, dcy_;
    // The scale of dc; dz is never scaled below dc / 2^kHeadroom, so that
    // dc / 2^k stays a double (a smaller dz is lost against dc in one step).
    const int64_t dc_scale_, lowest_scale_;
};

void Kernel::set_offset(Scaled& p, ExtFloat dx, ExtFloat dy) const {
    const int64_t k = std::max(top_exponent(dx, dy, dc_scale_), lowest_scale_);
    p.k = k;
    p.wx = scaled_down(dx, k);
    p.wy = scaled_down(dy, k);
    p.vx = scaled_down(dcx_, k);
    p.vy = scaled_down(dcy_, k);
    p.regime = k > kLargestFastScale ? Regime::exact
               : k >= kShallowScale  ? Regime::shallow
                                     : Regime::deep;
    // 2^k w and 2^2k |w|^2 as doubles where they stay normal for every w in
    // the window; below, they cannot change the sums they go into, and
    // subnormal operands are slow on some processors.
    const bool fast = p.regime != Regime::exact;
    p.s = fast && k >= kLowestScale ? pow2_or_zero(k) : 0.0;
    p.s2 = fast && 2 * k >= kLowestScale + 64 ? pow2_or_zero(2 * k) : 0.0;
}

void Kernel::set_error(Scaled& p, ExtFloat error) const {
    // An error far below the step's own contribution is dropped, as in a sum.
    const int64_t ke = std::max(error.is_zero() ? 2 * p.k : error.e, 2 * p.k - kHeadroom);
    p.ke = ke;
    p.eps = scaled_down(error, ke);
    p.f = pow2_or_zero(2 * p.k - ke);
}

// The double kernel's step in ExtFloats, which round as doubles do in range.
bool Kernel::exact_step(Scaled& p, uint32_t& m, uint32_t& n, ExtFloat& previous,
                        uint32_t& result) const {
    const ExtFloat dx = ExtFloat::make(p.wx, p.k), dy = ExtFloat::make(p.wy, p.k);
    const ExtFloat ar = (re_[m] + re_[m]) + dx, ai = (im_[m] + im_[m]) + dy;
    const ExtFloat nx = ((ar * dx) - (ai * dy)) + dcx_;
    const ExtFloat ny = ((ar * dy) + (ai * dx)) + dcy_;
    ++m;
    ++n;
    const ExtFloat d = norm(nx, ny);
    const ExtFloat e = ((kFour * previous) * error(p)) + (kStepError * d);
    const ExtFloat x = re_[m] + nx, y = im_[m] + ny;
    const ExtFloat r = norm(x, y);
    previous = r;
    if (r >= kLowX) {
        result = escape_decided(r.to_double(), e.to_double(), n) ? n : kNeedsOtherReference;
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
        set_offset(p, x, y);
    } else {
        set_offset(p, nx, ny);
    }
    set_error(p, e);
    return false;
}

bool Kernel::run(ExtPixelState& state, uint32_t steps, uint32_t& result) const {
    Scaled p;
    set_offset(p, state.dx, state.dy);
    set_error(p, state.error);
    uint32_t m = state.m, n = state.n;
    // |z|^2 of the current z, whose square amplifies the error of the next: a
    // double for the scaled step, exact for the ExtFloat one.
    ExtFloat previous_exact = norm(re_[m] + state.dx, im_[m] + state.dy);
    double previous = previous_exact.to_double();
    bool exact_is_current = true;

    // The loop works on copies, so that they stay in registers.
    double wx, wy, eps, s, s2, vx, vy, f;
    Regime regime;
    int64_t lowest;
    auto fill = [&] {
        wx = p.wx, wy = p.wy, eps = p.eps, s = p.s, s2 = p.s2, vx = p.vx, vy = p.vy, f = p.f;
        regime = p.regime;
        lowest = regime == Regime::deep ? -500 : -1022;
    };
    auto spill = [&] { p.wx = wx, p.wy = wy, p.eps = eps; };
    fill();
    double zr = reference_double(re_[m], lowest), zi = reference_double(im_[m], lowest);
    bool big_m = big(zr, zi);
    for (; steps > 0; --steps) {
        const double zr1 = reference_double(re_[m + 1], lowest),
                     zi1 = reference_double(im_[m + 1], lowest);
        const bool big_m1 = big(zr1, zi1);
        if (regime != Regime::shallow && (regime == Regime::exact || !(big_m && big_m1)))
            [[unlikely]] {
            spill();
            if (!exact_is_current) previous_exact = ExtFloat(previous);
            if (exact_step(p, m, n, previous_exact, result)) return true;
            previous = previous_exact.to_double();
            exact_is_current = true;
            fill();
            zr = reference_double(re_[m], lowest), zi = reference_double(im_[m], lowest);
            big_m = big(zr, zi);
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
        const double r = x * x + y * y;
        previous = r;
        exact_is_current = false;
        wx = px;
        wy = py;
        if (r >= kLow) {
            result = escape_decided(r, ExtFloat::make(eps, p.ke).to_double(), n)
                         ? n
                         : kNeedsOtherReference;
            return true;
        }
        if (n + 1 >= max_iterations_) {
            result = n + 1;
            return true;
        }
        const double d = s2 * dw;
        if (r < d || m == last_) [[unlikely]] {
            if (!(r < d) && escaped_) {
                result = kNeedsOtherReference;
                return true;
            }
            // Closer to 0 than to the reference, or at its end: restart it,
            // with the whole value, formed exactly, as the offset.
            spill();
            restart(p, m, px, py);
            fill();
            m = 0;
            zr = zi = 0.0;
            big_m = false;
            continue;
        }
        zr = zr1, zi = zi1;
        big_m = big_m1;
        const double w = std::max(std::fabs(wx), std::fabs(wy));
        if (!(w <= kHighW && w >= kLowW) || !(eps <= kHighError && eps >= kLowError)) [[unlikely]] {
            spill();
            rescale(p);
            fill();
            zr = reference_double(re_[m], lowest), zi = reference_double(im_[m], lowest);
        }
    }
    spill();
    state = ExtPixelState{ExtFloat::make(p.wx, p.k), ExtFloat::make(p.wy, p.k), m, n, error(p)};
    return false;
}

}  // namespace

bool perturbed_steps_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                         ExtFloat dcy, ExtPixelState& s, uint32_t steps, uint32_t& result) {
    return Kernel(orbit, max_iterations, dcx, dcy).run(s, steps, result);
}

uint32_t iterate_perturbed_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                               ExtFloat dcy) {
    const Kernel kernel(orbit, max_iterations, dcx, dcy);
    ExtPixelState s{};
    uint32_t result = 0;
    while (!kernel.run(s, UINT32_MAX, result)) {
    }
    return result;
}

}  // namespace quorvel
