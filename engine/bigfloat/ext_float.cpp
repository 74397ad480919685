// ExtFloat's square root and decimal text.
#include "bigfloat/ext_float.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace quorvel {

ExtFloat sqrt(ExtFloat x) {
    if (!(x.m > 0.0) || !std::isfinite(x.m)) return ExtFloat(std::sqrt(x.m));
    // An even exponent halves exactly; the odd one moves into the mantissa,
    // which leaves the root in [1, 2).
    const int64_t odd = x.e & 1;
    return ExtFloat::raw(std::sqrt(odd ? x.m + x.m : x.m), (x.e - odd) / 2);
}

namespace {

// floor(log10(2) * 2^128), high and low 64 bits.
constexpr uint64_t kLog10TwoHigh = 0x4d104d427de7fbccull;
constexpr uint64_t kLog10TwoLow = 0x47c4acd605be48bcull;

// |e| * log10(2) as a whole part and a 64-bit fraction, for |e| < 2^62; the
// error is below 2^-63, so 17 digits of the mantissa remain right.
void times_log10_two(uint64_t e, uint64_t& whole, uint64_t& fraction) {
    using u128 = unsigned __int128;
    const u128 product = u128(e) * kLog10TwoHigh + ((u128(e) * kLog10TwoLow) >> 64);
    whole = uint64_t(product >> 64);
    fraction = uint64_t(product);
}

void append_exponent(std::string& out, int64_t exponent) {
    out += exponent < 0 ? "e-" : "e+";
    const uint64_t magnitude = exponent < 0 ? 0 - uint64_t(exponent) : uint64_t(exponent);
    // By hand: std::to_string's digit table would leave the library as a
    // visible symbol.
    char digits[20];
    int count = 0;
    for (uint64_t rest = magnitude; rest > 0 || count < 2; rest /= 10)
        digits[count++] = static_cast<char>('0' + rest % 10);
    while (count > 0) out += digits[--count];
}

}  // namespace

std::string to_scientific(ExtFloat x, int significant_digits) {
    const int digits = std::clamp(significant_digits, 1, 17);
    char buffer[64];
    if (x.is_zero()) return "0";
    if (!std::isfinite(x.m) || (x.e >= -1022 && x.e <= 1023)) {
        // The double itself: to_chars rounds correctly.
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, x.to_double(),
                                       std::chars_format::scientific, digits - 1);
        return std::string(buffer, end.ptr);
    }
    // |x| = |m| 10^(e log10 2). The whole part of e log10(2) comes from
    // integers, so the exponent is exact for any e; the fraction, a 64-bit
    // fixed-point number, scales the mantissa in long double.
    uint64_t whole = 0, fraction = 0;
    times_log10_two(x.e < 0 ? 0 - uint64_t(x.e) : uint64_t(x.e), whole, fraction);
    const long double f = static_cast<long double>(fraction) * 0x1p-64L;
    // e < 0: 10^-(whole + f) = 10^-(whole + 1) 10^(1 - f).
    int64_t exponent = x.e < 0 ? -int64_t(whole) - 1 : int64_t(whole);
    long double mantissa =
        std::fabs(static_cast<long double>(x.m)) * std::pow(10.0L, x.e < 0 ? 1.0L - f : f);
    if (mantissa >= 10.0L) {
        mantissa /= 10.0L;
        ++exponent;
    }
    auto end = std::to_chars(buffer, buffer + sizeof buffer, mantissa, std::chars_format::fixed,
                             digits - 1);
    std::string out = x.negative() ? "-" : "";
    if (end.ptr - buffer >= 2 && buffer[0] == '1' && buffer[1] == '0') {
        // Rounded up to 10: one more decade, mantissa 1.00...
        ++exponent;
        end = std::to_chars(buffer, buffer + sizeof buffer, 1.0L, std::chars_format::fixed,
                            digits - 1);
    }
    out.append(buffer, end.ptr);
    append_exponent(out, exponent);
    return out;
}

}  // namespace quorvel
