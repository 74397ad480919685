// DoubleDouble: an unevaluated sum hi + lo of two doubles, about 106 bits,
// formed with error-free transformations (Dekker's product, Knuth's sum);
// correct only while no operation is fused, as the build ensures.
#pragma once

namespace quorvel {

struct DoubleDouble {
    double hi = 0.0, lo = 0.0;
};

namespace dd_detail {

inline DoubleDouble two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// |a| >= |b| or a == 0.
inline DoubleDouble quick_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

inline DoubleDouble split(double a) {
    const double t = 134217729.0 * a;  // 2^27 + 1
    const double hi = t - (t - a);
    return {hi, a - hi};
}

inline DoubleDouble two_product(double a, double b) {
    const double p = a * b;
    const DoubleDouble x = split(a), y = split(b);
    return {p, (((x.hi * y.hi) - p) + (x.hi * y.lo) + (x.lo * y.hi)) + (x.lo * y.lo)};
}

}  // namespace dd_detail

inline DoubleDouble operator+(DoubleDouble a, DoubleDouble b) {
    DoubleDouble s = dd_detail::two_sum(a.hi, b.hi);
    const DoubleDouble t = dd_detail::two_sum(a.lo, b.lo);
    s = dd_detail::quick_two_sum(s.hi, s.lo + t.hi);
    return dd_detail::quick_two_sum(s.hi, s.lo + t.lo);
}

inline DoubleDouble operator-(DoubleDouble a) { return {-a.hi, -a.lo}; }
inline DoubleDouble operator-(DoubleDouble a, DoubleDouble b) { return a + -b; }

inline DoubleDouble operator*(DoubleDouble a, DoubleDouble b) {
    const DoubleDouble p = dd_detail::two_product(a.hi, b.hi);
    return dd_detail::quick_two_sum(p.hi, p.lo + ((a.hi * b.lo) + (a.lo * b.hi)));
}

// Exact doubling.
inline DoubleDouble twice(DoubleDouble a) { return {a.hi + a.hi, a.lo + a.lo}; }

inline double to_double(DoubleDouble a) { return a.hi + a.lo; }

}  // namespace quorvel
