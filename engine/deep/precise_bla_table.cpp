#include "deep/precise_bla_table.h"

#include <cmath>

#include "deep/precise_values.h"

namespace quorvel {

using precise_detail::leading;
using precise_detail::value;

// A step's dropped terms stay at most half of these beside the kept ones;
// they go into the kernel's error estimate, so larger radii cost precision,
// not soundness. Chosen with bench/depth_bench.cpp on the public 2e-50 and
// 4e-228 views: from 2^-56 and 2^-80 on, the pixels that long double or
// twofold sums could not vouch for stayed nearly the same (2^-76 sent two to
// three times as many to their own references), while steps per pixel fell
// by a quarter and a half from 2^-64 and 2^-102.
double precise_bla_epsilon(long double) { return 0x1p-56; }
double precise_bla_epsilon(DoubleDouble) { return 0x1p-84; }
double precise_bla_epsilon(LongDoubleDouble) { return 0x1p-84; }

namespace {

// Entries built between two looks at the clock: a first-level entry merges
// up to a few dozen single steps in twofold sums.
constexpr size_t kEntriesPerCheck = 64;

long double magnitude(long double re, long double im) { return std::sqrt(re * re + im * im); }

template <class T>
long double magnitude(const T& re, const T& im) {
    return magnitude(static_cast<long double>(leading(re)), static_cast<long double>(leading(im)));
}

}  // namespace

template <class T>
PreciseBlaTable<T>::PreciseBlaTable(const PreciseOrbitSpan& orbit, long double c_max,
                                    size_t max_bytes)
    : orbit_(orbit), c_max_(c_max), levels_(orbit.length, max_bytes) {}

template <class T>
PreciseBlaStep<T> PreciseBlaTable<T>::single(uint32_t m) const {
    const PreciseOrbitSpan& o = orbit_;
    const T zr = value(o.re, o.re_low, o.ext_re, o.ext_re_low, m, T{});
    const T zi = value(o.im, o.im_low, o.ext_im, o.ext_im_low, m, T{});
    const long double z = magnitude(zr, zi);
    // Where a pixel within the radius could meet the escape test, or come too
    // close to 4 to call, no step passes over.
    const long double eps = precise_bla_epsilon(T{});
    const long double near_escape =
        4.0L * (1.0L - 4.0L * kUndecidedEscape) / ((1.0L + 4.0L * eps) * (1.0L + 4.0L * eps));
    const long double r = z * z >= near_escape ? 0.0L : eps * z;
    // The dropped term is dz^2 itself.
    return PreciseBlaStep<T>{zr + zr, zi + zi, T{1.0}, T{}, r * r, 1.0L, 0.0L, 0.0L};
}

// Step x, then step y: as BlaTable's merge, with bounds in long double.
template <class T>
PreciseBlaStep<T> PreciseBlaTable<T>::merge(const PreciseBlaStep<T>& x,
                                            const PreciseBlaStep<T>& y) const {
    PreciseBlaStep<T> s;
    s.ar = y.ar * x.ar - y.ai * x.ai;
    s.ai = y.ar * x.ai + y.ai * x.ar;
    s.br = (y.ar * x.br - y.ai * x.bi) + y.br;
    s.bi = (y.ar * x.bi + y.ai * x.br) + y.bi;
    const long double a = magnitude(x.ar, x.ai);
    const long double b = magnitude(x.br, x.bi);
    const long double ay = magnitude(y.ar, y.ai);
    s.p = ay * x.p + y.p * (a * a);
    s.q = ay * x.q + (2.0L * y.p * (a * b) + y.q * a);
    s.s = ay * x.s + ((y.p * (b * b) + y.q * b) + y.s);
    const long double ry = std::sqrt(y.r2) - b * c_max_;
    if (a == 0.0L || !(0.0L < ry)) {
        s.r2 = 0.0L;
    } else {
        const long double r = ry / a;
        s.r2 = std::min(r * r, x.r2);
    }
    return s;
}

template <class T>
bool PreciseBlaTable<T>::advance(double seconds) {
    return levels_.advance(
        seconds, kEntriesPerCheck, [this](uint32_t m) { return single(m); },
        [this](const PreciseBlaStep<T>& x, const PreciseBlaStep<T>& y) { return merge(x, y); });
}

template class PreciseBlaTable<long double>;
template class PreciseBlaTable<DoubleDouble>;
template class PreciseBlaTable<LongDoubleDouble>;

}  // namespace quorvel
