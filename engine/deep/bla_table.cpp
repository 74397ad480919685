#include "deep/bla_table.h"

#include <cmath>

#include "deep/perturbation.h"

namespace quorvel {

namespace {

// Entries built between two looks at the clock.
constexpr size_t kEntriesPerCheck = 1024;

// |Z|^2 from which a single step gets no radius: a pixel within it of Z could
// meet the escape test, or come too close to 4 to call, inside a longer step.
constexpr double kNearEscape =
    4.0 * (1.0 - 4.0 * kUndecidedEscape) / ((1.0 + 4.0 * kBlaEpsilon) * (1.0 + 4.0 * kBlaEpsilon));

double as_double(double x) { return x; }
double as_double(ExtFloat x) { return x.to_double(); }
double root(double x) { return std::sqrt(x); }
ExtFloat root(ExtFloat x) { return sqrt(x); }
template <class T>
T zero() {
    return T(0.0);
}

}  // namespace

template <class T>
BlaTable<T>::BlaTable(const T* zre, const T* zim, uint32_t length, T c_max, size_t max_bytes)
    : zre_(zre), zim_(zim), c_max_(c_max), levels_(length, max_bytes) {}

template <class T>
BlaStep<T> BlaTable<T>::single(uint32_t m) const {
    const T zr = zre_[m], zi = zim_[m];
    const T z2 = zr * zr + zi * zi;
    const T r = as_double(z2) >= kNearEscape ? zero<T>() : T(kBlaEpsilon) * root(z2);
    // The dropped term is dz^2 itself.
    return BlaStep<T>{zr + zr, zi + zi, T(1.0), zero<T>(), r * r, T(1.0), zero<T>(), zero<T>()};
}

// Step x, then step y: valid while dz is within x's radius and x leaves it
// within y's, whatever the pixel's dc.
template <class T>
BlaStep<T> BlaTable<T>::merge(const BlaStep<T>& x, const BlaStep<T>& y) const {
    BlaStep<T> s;
    s.ar = y.ar * x.ar - y.ai * x.ai;
    s.ai = y.ar * x.ai + y.ai * x.ar;
    s.br = (y.ar * x.br - y.ai * x.bi) + y.br;
    s.bi = (y.ar * x.bi + y.ai * x.br) + y.bi;
    const T a = root(x.ar * x.ar + x.ai * x.ai);
    const T b = root(x.br * x.br + x.bi * x.bi);
    // x's dropped terms pass through y's |A|; y's start from an offset of
    // at most a |dz| + b |dc|.
    const T ay = root(y.ar * y.ar + y.ai * y.ai);
    s.p = ay * x.p + y.p * (a * a);
    s.q = ay * x.q + (T(2.0) * y.p * (a * b) + y.q * a);
    s.s = ay * x.s + ((y.p * (b * b) + y.q * b) + y.s);
    const T ry = root(y.r2) - b * c_max_;
    if (as_double(a) == 0.0 || !(zero<T>() < ry)) {
        s.r2 = zero<T>();
    } else {
        const T r = ry / a;
        const T r2 = r * r;
        s.r2 = r2 < x.r2 ? r2 : x.r2;
    }
    return s;
}

template <class T>
bool BlaTable<T>::advance(double seconds) {
    return levels_.advance(
        seconds, kEntriesPerCheck, [this](uint32_t m) { return single(m); },
        [this](const BlaStep<T>& x, const BlaStep<T>& y) { return merge(x, y); });
}

template class BlaTable<double>;
template class BlaTable<ExtFloat>;

}  // namespace quorvel
