// Twofold: an unevaluated sum hi + lo of two floating-point numbers, twice
// their significand, formed with error-free transformations (Dekker's product,
// Knuth's sum); correct only while no operation is fused, as the build
// ensures. DoubleDouble has about 106 bits; LongDoubleDouble, of long
// doubles, has long double's exponent range too.
#pragma once

#include <cstdint>
#include <limits>

namespace quorvel {

template <class F>
struct Twofold {
    F hi = 0, lo = 0;
};

using DoubleDouble = Twofold<double>;
using LongDoubleDouble = Twofold<long double>;

namespace twofold_detail {

template <class F>
Twofold<F> two_sum(F a, F b) {
    const F s = a + b;
    const F bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// |a| >= |b| or a == 0.
template <class F>
Twofold<F> quick_two_sum(F a, F b) {
    const F s = a + b;
    return {s, b - (s - a)};
}

// 2^ceil(p / 2) + 1 for a p-bit significand.
template <class F>
constexpr F kSplitter = static_cast<F>(uint64_t{1} << ((std::numeric_limits<F>::digits + 1) / 2)) +
                        F(1);

template <class F>
Twofold<F> split(F a) {
    const F t = kSplitter<F> * a;
    const F hi = t - (t - a);
    return {hi, a - hi};
}

template <class F>
Twofold<F> two_product(F a, F b) {
    const F p = a * b;
    const Twofold<F> x = split(a), y = split(b);
    return {p, (((x.hi * y.hi) - p) + (x.hi * y.lo) + (x.lo * y.hi)) + (x.lo * y.lo)};
}

}  // namespace twofold_detail

template <class F>
Twofold<F> operator+(Twofold<F> a, Twofold<F> b) {
    using namespace twofold_detail;
    Twofold<F> s = two_sum(a.hi, b.hi);
    const Twofold<F> t = two_sum(a.lo, b.lo);
    s = quick_two_sum(s.hi, s.lo + t.hi);
    return quick_two_sum(s.hi, s.lo + t.lo);
}

// a + b to a few units of |a| + |b| rather than of the sum, at half the
// cost of operator+: where the operands carry errors of that size anyway.
template <class F>
Twofold<F> quick_add(Twofold<F> a, Twofold<F> b) {
    using namespace twofold_detail;
    const Twofold<F> s = two_sum(a.hi, b.hi);
    return quick_two_sum(s.hi, s.lo + (a.lo + b.lo));
}

template <class F>
Twofold<F> operator-(Twofold<F> a) {
    return {-a.hi, -a.lo};
}
template <class F>
Twofold<F> operator-(Twofold<F> a, Twofold<F> b) {
    return a + -b;
}

template <class F>
Twofold<F> operator*(Twofold<F> a, Twofold<F> b) {
    const Twofold<F> p = twofold_detail::two_product(a.hi, b.hi);
    return twofold_detail::quick_two_sum(p.hi, p.lo + ((a.hi * b.lo) + (a.lo * b.hi)));
}

// Exact doubling.
template <class F>
Twofold<F> twice(Twofold<F> a) {
    return {a.hi + a.hi, a.lo + a.lo};
}

// hi + lo rounded to one F.
template <class F>
F rounded(Twofold<F> a) {
    return a.hi + a.lo;
}

}  // namespace quorvel
