#include "deep/nucleus_search.h"

#include <cmath>

#include "base/stopwatch.h"

namespace quorvel {

namespace {

// Iterations between two looks at the clock.
constexpr uint32_t kPerCheck = 4096;
// Newton has converged once its step is below this share of the radius: the
// guess then lies far closer to the nucleus than to any pixel.
constexpr double kConverged = 0x1p-44;
// The disk scanned for a period, in radii: it takes in the view's corners.
constexpr double kScanRadii = 2.0;
// A guess this many radii from the centre has left for another nucleus.
constexpr double kStrayRadii = 16.0;

ExtFloat ext(double x) { return ExtFloat(x); }
ExtFloat ext(ExtFloat x) { return x; }
template <class T>
T from_ext(ExtFloat x);
template <>
double from_ext<double>(ExtFloat x) {
    return x.to_double();
}
template <>
ExtFloat from_ext<ExtFloat>(ExtFloat x) {
    return x;
}

bool finite(ExtFloat x) { return std::isfinite(x.m); }

}  // namespace

bool NucleusSearch::scan(const ReferenceOrbit& centre, double seconds) {
    if (period_ != 0) return true;
    if (centre.extended())
        return scan_values(centre.ext_re(), centre.ext_im(), centre.length(), seconds);
    return scan_values(centre.re(), centre.im(), centre.length(), seconds);
}

template <class T>
bool NucleusSearch::scan_values(const T* re, const T* im, uint32_t length, double seconds) {
    Stopwatch watch;
    const ExtFloat r2 = ExtFloat(kScanRadii * kScanRadii) * radius_ * radius_;
    const ExtFloat one(1.0), two(2.0);
    ExtFloat dr = der_re_, di = der_im_;
    bool found = false;
    for (uint32_t n = scanned_; n < length; ++n) {
        const ExtFloat zr = ext(re[n]), zi = ext(im[n]);
        // The disk |c - centre| <= radius maps to about z_n + dz_n/dc (c -
        // centre): it holds 0 once |z_n| < |dz_n/dc| radius.
        if (n > tried_up_to_ && n > 0 && zr * zr + zi * zi < (dr * dr + di * di) * r2) {
            period_ = n;
            scanned_ = n;
            found = true;
            break;
        }
        const ExtFloat nr = two * (zr * dr - zi * di) + one;
        const ExtFloat ni = two * (zr * di + zi * dr);
        dr = nr;
        di = ni;
        scanned_ = n + 1;
        if (n % kPerCheck == kPerCheck - 1 && watch.elapsed() >= seconds) break;
    }
    der_re_ = dr;
    der_im_ = di;
    return found;
}

NucleusSearch::Result NucleusSearch::solve(const ReferenceOrbit& centre, double seconds) {
    if (centre.extended()) return solve_values(centre.ext_re(), centre.ext_im(), seconds);
    return solve_values(centre.re(), centre.im(), seconds);
}

template <class T>
NucleusSearch::Result NucleusSearch::solve_values(const T* re, const T* im, double seconds) {
    Stopwatch watch;
    const ExtFloat one(1.0), two(2.0);
    const T cx = from_ext<T>(delta_re_), cy = from_ext<T>(delta_im_);
    T dx = from_ext<T>(dz_re_), dy = from_ext<T>(dz_im_);
    ExtFloat ddr = dd_re_, ddi = dd_im_;
    while (at_ < period_) {
        const T zr = re[at_], zi = im[at_];
        // dz/dc of the guess's orbit: 2 z dz/dc + 1, with z = Z + dz.
        const ExtFloat xr = ext(zr + dx), xi = ext(zi + dy);
        const ExtFloat nr = two * (xr * ddr - xi * ddi) + one;
        const ExtFloat ni = two * (xr * ddi + xi * ddr);
        ddr = nr;
        ddi = ni;
        // The guess's offset from the centre's orbit: dz <- (2 Z + dz) dz + dc.
        const T ar = (zr + zr) + dx, ai = (zi + zi) + dy;
        const T nx = ((ar * dx) - (ai * dy)) + cx;
        const T ny = ((ar * dy) + (ai * dx)) + cy;
        dx = nx;
        dy = ny;
        ++at_;
        if (at_ % kPerCheck == 0 && watch.elapsed() >= seconds) break;
    }
    if (at_ < period_) {
        dz_re_ = ext(dx);
        dz_im_ = ext(dy);
        dd_re_ = ddr;
        dd_im_ = ddi;
        return Result::working;
    }
    dd_re_ = ddr;
    dd_im_ = ddi;
    return finish_pass(ext(re[period_] + dx), ext(im[period_] + dy));
}

NucleusSearch::Result NucleusSearch::finish_pass(ExtFloat zr, ExtFloat zi) {
    // c <- c - z_p / (dz_p/dc).
    const ExtFloat dr = dd_re_, di = dd_im_;
    const ExtFloat d2 = dr * dr + di * di;
    const ExtFloat step_re = (zr * dr + zi * di) / d2;
    const ExtFloat step_im = (zi * dr - zr * di) / d2;
    delta_re_ -= step_re;
    delta_im_ -= step_im;
    ++steps_;
    at_ = 0;
    dz_re_ = dz_im_ = dd_re_ = dd_im_ = ExtFloat(0.0);
    const ExtFloat r2 = radius_ * radius_;
    const ExtFloat distance2 = delta_re_ * delta_re_ + delta_im_ * delta_im_;
    const ExtFloat step2 = step_re * step_re + step_im * step_im;
    const ExtFloat converged = ExtFloat(kConverged * kConverged) * r2;
    Result result = Result::working;
    if (!finite(distance2) || !finite(step2) || d2.is_zero() ||
        distance2 > ExtFloat(kStrayRadii * kStrayRadii) * r2) {
        result = Result::failed;
    } else if (step2 <= converged) {
        result = distance2 <= ExtFloat(kMaxRadii * kMaxRadii) * r2 ? Result::found : Result::failed;
    } else if (steps_ >= kMaxSteps) {
        result = Result::failed;
    }
    if (result == Result::failed) {
        // Scan on past this period, from the centre again.
        ++tries_;
        tried_up_to_ = period_;
        period_ = 0;
        steps_ = 0;
        delta_re_ = delta_im_ = ExtFloat(0.0);
    }
    return result;
}

}  // namespace quorvel
