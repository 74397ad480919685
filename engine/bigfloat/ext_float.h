// ExtFloat: a double mantissa with a 64-bit binary exponent, for radii, pixel
// offsets and their squares far below the double range. Within the normal
// double range every operation rounds exactly as the double operation does.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

namespace quorvel {

// value = m * 2^e; normalised: m == 0 (then e == 0), or 1 <= |m| < 2. Non-finite
// m keeps e == 0. Exponents saturate at +-kExtMaxExponent: a result beyond
// keeps the bound (a wrong but finite and ordered value, never an int64
// overflow); 2^(2^60) is far beyond any view.
struct ExtFloat {
    double m = 0.0;
    int64_t e = 0;

    constexpr ExtFloat() = default;
    constexpr explicit ExtFloat(double d);
    // m * 2^e for any finite m (zero, subnormal or outside [1, 2)).
    static constexpr ExtFloat make(double m, int64_t e);

    // Correctly rounded: gradual underflow to a subnormal or zero, overflow to
    // +-infinity.
    double to_double() const;
    bool is_zero() const { return m == 0.0; }
    bool negative() const { return m < 0.0; }
    // floor(log2 |x|) for non-zero x.
    int64_t exponent() const { return e; }
    ExtFloat operator-() const { return raw(-m, e); }

    ExtFloat& operator+=(ExtFloat b);
    ExtFloat& operator-=(ExtFloat b);
    ExtFloat& operator*=(ExtFloat b);
    ExtFloat& operator/=(ExtFloat b);

    // Already normalised parts.
    static constexpr ExtFloat raw(double m, int64_t e) {
        ExtFloat x;
        x.m = m;
        x.e = e;
        return x;
    }
};

constexpr int64_t kExtMaxExponent = int64_t{1} << 60;

namespace ext_detail {

constexpr uint64_t kExponentMask = uint64_t{0x7ff} << 52;

constexpr int64_t saturate(int64_t e) { return std::clamp(e, -kExtMaxExponent, kExtMaxExponent); }

// 2^k for -1022 <= k <= 1023.
constexpr double pow2(int64_t k) { return std::bit_cast<double>(uint64_t(k + 1023) << 52); }

// Zero, subnormal or non-finite x: the slow part of normalised().
constexpr ExtFloat normalised_special(double x, int64_t e) {
    if (x == 0.0 || !(x - x == 0.0)) return ExtFloat::raw(x, 0);
    // Subnormal: 2^64 brings it into the normal range exactly.
    const double y = x * 0x1p64;
    const uint64_t bits = std::bit_cast<uint64_t>(y);
    const int64_t shift = int64_t((bits >> 52) & 0x7ff) - 1023;
    return ExtFloat::raw(std::bit_cast<double>(bits - (uint64_t(shift) << 52)),
                         saturate(e + shift - 64));
}

// x * 2^e normalised, for |e| <= 2^62. The exponent field of x is moved into
// e by integer arithmetic; only zero, subnormals and non-finite x branch off.
constexpr ExtFloat normalised(double x, int64_t e) {
    const uint64_t bits = std::bit_cast<uint64_t>(x);
    const int64_t field = int64_t((bits >> 52) & 0x7ff);
    if (uint64_t(field - 1) >= 0x7fe) [[unlikely]]
        return normalised_special(x, e);
    const int64_t shift = field - 1023;
    return ExtFloat::raw(std::bit_cast<double>(bits - (uint64_t(shift) << 52)),
                         saturate(e + shift));
}

// The exponent a zero operand has in an addition: below every other one, so
// that the other operand is taken whole.
constexpr int64_t kZeroExponent = -4 * kExtMaxExponent;

// 2^-d for d >= 0, with d capped where the scaled operand can no longer change
// a sum's rounding (it stays below a quarter of the other's last place).
constexpr double pow2_down(int64_t d) {
    return std::bit_cast<double>(uint64_t(1023 - std::min<int64_t>(d, 120)) << 52);
}

}  // namespace ext_detail

constexpr ExtFloat::ExtFloat(double d) : m(0.0), e(0) { *this = ext_detail::normalised(d, 0); }

constexpr ExtFloat ExtFloat::make(double mantissa, int64_t exponent) {
    constexpr int64_t kLimit = int64_t{1} << 62;
    return ext_detail::normalised(mantissa, std::clamp(exponent, -kLimit, kLimit));
}

inline double ExtFloat::to_double() const {
    // Zero and non-finite values have e == 0 and pass through unchanged.
    if (e >= -1022 && e <= 1023) [[likely]]
        return std::bit_cast<double>(std::bit_cast<uint64_t>(m) + (uint64_t(e) << 52));
    if (e > 0) return std::copysign(HUGE_VAL, m);
    // One rounding only: an exact scaling into [2^-1100, 2^-1022), then the
    // multiplication that lands in the subnormal range.
    const int64_t k = std::max<int64_t>(e, -1100);
    return (m * ext_detail::pow2(k + 1022)) * ext_detail::pow2(-1022);
}

inline ExtFloat operator*(ExtFloat a, ExtFloat b) {
    return ext_detail::normalised(a.m * b.m, a.e + b.e);
}

inline ExtFloat operator/(ExtFloat a, ExtFloat b) {
    return ext_detail::normalised(a.m / b.m, a.e - b.e);
}

// The operand with the smaller exponent is scaled by an exact power of two
// onto the larger one's, so the sum rounds once, as the double sum does.
inline ExtFloat operator+(ExtFloat a, ExtFloat b) {
    using namespace ext_detail;
    const int64_t ea = a.m == 0.0 ? kZeroExponent : a.e;
    const int64_t eb = b.m == 0.0 ? kZeroExponent : b.e;
    const int64_t e = std::max(ea, eb);
    return normalised(a.m * pow2_down(e - ea) + b.m * pow2_down(e - eb), e);
}

inline ExtFloat operator-(ExtFloat a, ExtFloat b) { return a + -b; }

inline ExtFloat& ExtFloat::operator+=(ExtFloat b) { return *this = *this + b; }
inline ExtFloat& ExtFloat::operator-=(ExtFloat b) { return *this = *this - b; }
inline ExtFloat& ExtFloat::operator*=(ExtFloat b) { return *this = *this * b; }
inline ExtFloat& ExtFloat::operator/=(ExtFloat b) { return *this = *this / b; }

inline bool operator==(ExtFloat a, ExtFloat b) { return a.m == b.m && a.e == b.e; }
inline bool operator!=(ExtFloat a, ExtFloat b) { return !(a == b); }

inline bool operator<(ExtFloat a, ExtFloat b) {
    // Equal exponents, a zero, differing signs or a non-finite value: the
    // mantissas decide. Otherwise the exponents do, the other way round for
    // negative values.
    const bool same_sign_nonzero = (a.m > 0.0 && b.m > 0.0) || (a.m < 0.0 && b.m < 0.0);
    if (a.e == b.e || !same_sign_nonzero || !std::isfinite(a.m) || !std::isfinite(b.m))
        return a.m < b.m;
    return a.m > 0.0 ? a.e < b.e : a.e > b.e;
}
inline bool operator>(ExtFloat a, ExtFloat b) { return b < a; }
inline bool operator<=(ExtFloat a, ExtFloat b) { return a < b || a == b; }
inline bool operator>=(ExtFloat a, ExtFloat b) { return b <= a; }

inline ExtFloat abs(ExtFloat x) { return ExtFloat::raw(std::fabs(x.m), x.e); }

inline ExtFloat ldexp(ExtFloat x, int64_t k) {
    if (x.m == 0.0 || !std::isfinite(x.m)) return x;
    constexpr int64_t kLimit = int64_t{1} << 62;
    return ExtFloat::raw(x.m, ext_detail::saturate(x.e + std::clamp(k, -kLimit, kLimit)));
}

// Correctly rounded; NaN for negative x.
ExtFloat sqrt(ExtFloat x);

// "1.2e-1234", "-3.45e+20", "0" (printf's %e form, any locale), with 1 to 17
// significant digits. The decimal exponent is exact for every exponent, and
// the digits are correctly rounded: outside the double range the mantissa is
// computed to about 1e-19, so 16th and 17th digits may be one off near a tie.
std::string to_scientific(ExtFloat x, int significant_digits);

}  // namespace quorvel
