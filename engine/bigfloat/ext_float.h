// ExtFloat: a double mantissa with a 64-bit exponent, for radii, pixel steps
// and perturbation offsets far below the double range. Exponents stay far
// from overflow: views end at 2^-16777216, and an error estimate grows by
// at most 2^4 a step. Wherever operands and
// result are normal doubles, every operation rounds exactly as double
// arithmetic does, so views see no seam where a kernel changes type.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace quorvel {

struct ExtFloat {
    // value = m * 2^e; zero has m == 0 and e == 0, others 1 <= |m| < 2. A
    // non-finite m keeps e == 0.
    double m = 0.0;
    int64_t e = 0;

    constexpr ExtFloat() = default;
    explicit ExtFloat(double d) { *this = make(d, 0); }

    // m * 2^e for any finite or non-finite m.
    static ExtFloat make(double m, int64_t e) {
        uint64_t bits;
        std::memcpy(&bits, &m, 8);
        int64_t biased = static_cast<int64_t>((bits >> 52) & 0x7FF);
        if (biased == 0x7FF) return raw(m, 0);
        if (biased == 0) {
            if (m == 0.0) return ExtFloat();
            m *= 0x1p54;  // a subnormal mantissa: make it normal first
            e -= 54;
            std::memcpy(&bits, &m, 8);
            biased = static_cast<int64_t>((bits >> 52) & 0x7FF);
        }
        bits = (bits & ~(uint64_t{0x7FF} << 52)) | (uint64_t{1023} << 52);
        std::memcpy(&m, &bits, 8);
        return raw(m, e + (biased - 1023));
    }

    // Rounded to nearest; below the double range gradually to 0, above it inf.
    double to_double() const {
        if (m == 0.0 || !std::isfinite(m)) return m;
        if (e >= -1022 && e <= 1023) return m * power_of_two(e);
        if (e > 1023) return m * HUGE_VAL;
        return std::ldexp(m, static_cast<int>(e < -2000 ? -2000 : e));
    }

    bool is_zero() const { return m == 0.0; }
    bool negative() const { return m < 0.0; }
    // floor(log2|x|) of a non-zero value.
    int64_t exponent() const { return e; }

    ExtFloat operator-() const { return raw(-m, e); }
    ExtFloat& operator+=(ExtFloat b) { return *this = *this + b; }
    ExtFloat& operator-=(ExtFloat b) { return *this = *this - b; }
    ExtFloat& operator*=(ExtFloat b) { return *this = *this * b; }
    ExtFloat& operator/=(ExtFloat b) { return *this = *this / b; }

    friend ExtFloat operator*(ExtFloat a, ExtFloat b) { return make(a.m * b.m, a.e + b.e); }
    friend ExtFloat operator/(ExtFloat a, ExtFloat b) { return make(a.m / b.m, a.e - b.e); }
    friend ExtFloat operator+(ExtFloat a, ExtFloat b) {
        if (a.m == 0.0) return b;
        if (b.m == 0.0) return a;
        const int64_t d = a.e - b.e;
        // A gap of more than 64 bits cannot change the larger mantissa.
        if (d > 64) return a;
        if (d < -64) return b;
        if (d >= 0) return make(a.m + b.m * power_of_two(-d), a.e);
        return make(a.m * power_of_two(d) + b.m, b.e);
    }
    friend ExtFloat operator-(ExtFloat a, ExtFloat b) { return a + (-b); }

    friend bool operator==(ExtFloat a, ExtFloat b) { return a.m == b.m && a.e == b.e; }
    friend bool operator!=(ExtFloat a, ExtFloat b) { return !(a == b); }
    friend bool operator<(ExtFloat a, ExtFloat b) { return (a - b).m < 0.0; }
    friend bool operator>(ExtFloat a, ExtFloat b) { return b < a; }
    friend bool operator<=(ExtFloat a, ExtFloat b) { return !(b < a); }
    friend bool operator>=(ExtFloat a, ExtFloat b) { return !(a < b); }

    // 2^k as a double, for -1022 <= k <= 1023.
    static double power_of_two(int64_t k) {
        const uint64_t bits = static_cast<uint64_t>(k + 1023) << 52;
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }

private:
    static constexpr ExtFloat raw(double m, int64_t e) {
        ExtFloat x;
        x.m = m;
        x.e = e;
        return x;
    }
};

inline ExtFloat abs(ExtFloat x) { return ExtFloat::make(std::fabs(x.m), x.e); }
inline ExtFloat ldexp(ExtFloat x, int64_t k) { return x.is_zero() ? x : ExtFloat::make(x.m, x.e + k); }
inline ExtFloat sqrt(ExtFloat x) {
    if (x.is_zero() || x.m < 0.0) return ExtFloat::make(std::sqrt(x.m), 0);
    const int64_t odd = x.e & 1;  // floor division of the exponent by two
    return ExtFloat::make(std::sqrt(x.m * (odd ? 2.0 : 1.0)), (x.e - odd) / 2);
}

// "1.2e-1234": the value with this many significant digits, for titles.
std::string to_scientific(ExtFloat x, int significant_digits);

}  // namespace quorvel
