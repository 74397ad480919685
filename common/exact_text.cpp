#include "exact_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace quorvel::common {
namespace {

constexpr long double kLog10Of2 = 0.301029995663981195213738894724493027L;
constexpr int kMaxIntegerBits = 4096;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// value = digits read as one hex integer * 2^shift
struct HexNumber {
    bool negative = false;
    std::string_view digits;  // the first digit, then those after the point
    std::int64_t shift = 0;
};

std::optional<HexNumber> parse(std::string_view text) {
    HexNumber number;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) number.negative = text[i++] == '-';
    const std::size_t first = i;
    if (i + 2 >= text.size() || hex_value(text[i]) < 0 || text[i + 1] != '.') return std::nullopt;
    i += 2;
    const std::size_t after_point = i;
    while (i < text.size() && hex_value(text[i]) >= 0) ++i;
    if (i == after_point || i >= text.size() || text[i] != 'x') return std::nullopt;
    const std::size_t x = i++;
    bool negative_exponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative_exponent = text[i++] == '-';
    const std::size_t exponent_digits = text.size() - i;
    if (exponent_digits == 0 || exponent_digits > 18) return std::nullopt;
    std::int64_t exponent = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative_exponent) exponent = -exponent;
    // "H.HHHH": digit_at() skips the point.
    number.digits = std::string_view(text.data() + first, x - first);
    const auto after = static_cast<std::int64_t>(x - after_point);
    if (after > (std::int64_t{1} << 40)) return std::nullopt;
    number.shift = exponent - 3 - 4 * after;
    return number;
}

// The digit at position j of "H.HHHH", skipping the point.
int digit_at(std::string_view digits, std::size_t j) {
    return hex_value(digits[j == 0 ? 0 : j + 1]);
}
std::size_t digit_count(std::string_view digits) { return digits.size() - 1; }

std::string decimal_of(std::vector<std::uint32_t> integer) {
    std::string text;
    while (!integer.empty()) {
        std::uint64_t remainder = 0;
        for (std::size_t i = integer.size(); i-- > 0;) {
            const std::uint64_t value = (remainder << 32) | integer[i];
            integer[i] = static_cast<std::uint32_t>(value / 1000000000u);
            remainder = value % 1000000000u;
        }
        while (!integer.empty() && integer.back() == 0) integer.pop_back();
        char chunk[16];
        std::snprintf(chunk, sizeof chunk, integer.empty() ? "%u" : "%09u",
                      static_cast<unsigned>(remainder));
        text.insert(0, chunk);
    }
    return text.empty() ? "0" : text;
}

// Adds one to the last digit of a decimal digit string; true when it overflows.
bool increment(std::string& digits) {
    for (std::size_t i = digits.size(); i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return false;
        }
        digits[i] = '0';
    }
    return true;
}

void set_bit(std::vector<std::uint32_t>& limbs, std::int64_t bit) {
    limbs[static_cast<std::size_t>(bit / 32)] |= 1u << (bit % 32);
}

// log10(|value|), from its first sixteen nonzero digits (a double's 53 bits,
// any long double exactly); nothing for zero.
std::optional<long double> log10_of(const HexNumber& number) {
    const std::size_t count = digit_count(number.digits);
    std::size_t first = 0;
    while (first < count && digit_at(number.digits, first) == 0) ++first;
    if (first == count) return std::nullopt;
    const std::size_t used = std::min<std::size_t>(count - first, 16);
    long double top = 0.0L;
    for (std::size_t j = first; j < first + used; ++j)
        top = top * 16.0L + static_cast<long double>(digit_at(number.digits, j));
    // value = top * 2^scale; in the long double range its own logarithm keeps
    // exact powers of ten exact.
    const std::int64_t scale = number.shift + 4 * static_cast<std::int64_t>(count - first - used);
    using Limits = std::numeric_limits<long double>;
    if (scale > Limits::min_exponent && scale < Limits::max_exponent - 64)
        return std::log10(std::ldexp(top, static_cast<int>(scale)));
    return std::log10(top) + static_cast<long double>(scale) * kLog10Of2;
}

}  // namespace

bool is_hex_text(std::string_view text) { return parse(text).has_value(); }

bool is_positive_hex_text(std::string_view text) {
    const auto number = parse(text);
    return number && !number->negative &&
           number->digits.find_first_not_of("0.") != std::string_view::npos;
}

std::optional<double> hex_to_double(std::string_view text) {
    const auto number = parse(text);
    if (!number) return std::nullopt;
    // C's own hexadecimal form, 0xHHHHp<shift>, is read with correct rounding.
    std::string c_form = number->negative ? "-0x" : "0x";
    for (std::size_t j = 0; j < digit_count(number->digits); ++j)
        c_form += number->digits[j == 0 ? 0 : j + 1];
    c_form += 'p';
    c_form += std::to_string(number->shift);
    return std::strtod(c_form.c_str(), nullptr);
}

std::optional<std::int64_t> decimal_exponent(std::string_view text) {
    const auto number = parse(text);
    if (!number) return std::nullopt;
    const auto log10 = log10_of(*number);
    if (!log10) return std::nullopt;
    return static_cast<std::int64_t>(std::floor(*log10));
}

std::string format_hex_scientific(std::string_view text, int significant) {
    const auto number = parse(text);
    if (!number) return {};
    const auto log10 = log10_of(*number);
    if (!log10) return "0";
    significant = std::clamp(significant, 1, 18);
    std::int64_t exponent = static_cast<std::int64_t>(std::floor(*log10));
    const long double power = std::pow(10.0L, static_cast<long double>(significant - 1));
    long double scaled = std::round(std::pow(10.0L, *log10 - std::floor(*log10)) * power);
    if (scaled >= power * 10.0L) {
        scaled = power;
        ++exponent;
    }
    std::string digits = std::to_string(static_cast<unsigned long long>(scaled));
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out = number->negative ? "-" : "";
    out += digits[0];
    if (digits.size() > 1) out.append(".").append(digits, 1);
    char tail[32];
    std::snprintf(tail, sizeof tail, "e%c%02lld", exponent < 0 ? '-' : '+',
                  static_cast<long long>(exponent < 0 ? -exponent : exponent));
    return out + tail;
}

std::optional<std::string> hex_to_fixed_decimal(std::string_view text, int decimals) {
    const auto number = parse(text);
    if (!number || decimals < 0 || decimals > kMaxDecimals) return std::nullopt;
    const std::string sign = number->negative ? "-" : "";
    std::string zeros(decimals > 0 ? decimals + 1 : 0, '0');
    if (decimals > 0) zeros[0] = '.';
    // Leading zero digits weigh nothing; trailing ones only move the shift.
    std::size_t first = 0, end = digit_count(number->digits);
    while (first < end && digit_at(number->digits, first) == 0) ++first;
    while (end > first && digit_at(number->digits, end - 1) == 0) --end;
    if (first == end) return sign + "0" + zeros;
    const std::int64_t shift =
        number->shift + 4 * static_cast<std::int64_t>(digit_count(number->digits) - end);
    const auto bits = 4 * static_cast<std::int64_t>(end - first);
    // Far below half a unit of the last decimal it rounds to zero: 2^top <= 10^-decimals / 8.
    const std::int64_t top = bits + shift;  // the value is below 2^top
    if (top < -static_cast<std::int64_t>(std::ceil(decimals * 3.321928094887362L)) - 2)
        return sign + "0" + zeros;
    if (top > kMaxIntegerBits) return std::nullopt;

    // The integer part, and the fraction as limbs scaled by 2^(32 * limbs).
    const std::int64_t fraction_bits = shift < 0 ? -shift : 0;
    const auto limbs = static_cast<std::size_t>((fraction_bits + 31) / 32);
    const std::int64_t scale = 32 * static_cast<std::int64_t>(limbs);
    std::vector<std::uint32_t> integer(top > 0 ? static_cast<std::size_t>((top + 31) / 32) : 0);
    std::vector<std::uint32_t> fraction(limbs);
    for (std::size_t j = first; j < end; ++j) {
        const int digit = digit_at(number->digits, j);
        const std::int64_t position = shift + 4 * static_cast<std::int64_t>(end - 1 - j);
        for (int b = 0; b < 4; ++b) {
            if (((digit >> b) & 1) == 0) continue;
            if (position + b >= 0)
                set_bit(integer, position + b);
            else
                set_bit(fraction, scale + position + b);
        }
    }
    std::string whole = decimal_of(integer);

    // Nine digits at a time: the fraction times 10^9 carries them out of its top.
    static constexpr std::uint32_t kPowers[] = {1,      10,      100,      1000,      10000,
                                                100000, 1000000, 10000000, 100000000, 1000000000};
    std::string digits;
    digits.reserve(static_cast<std::size_t>(decimals));
    std::size_t low = 0;
    while (low < limbs && fraction[low] == 0) ++low;
    for (int left = decimals; left > 0;) {
        const int step = std::min(left, 9);
        std::uint64_t carry = 0;
        for (std::size_t i = low; i < limbs; ++i) {
            const std::uint64_t product = std::uint64_t{fraction[i]} * kPowers[step] + carry;
            fraction[i] = static_cast<std::uint32_t>(product);
            carry = product >> 32;
        }
        char chunk[16];
        std::snprintf(chunk, sizeof chunk, "%0*u", step, static_cast<unsigned>(carry));
        digits += chunk;
        while (low < limbs && fraction[low] == 0) ++low;
        left -= step;
    }
    // What is left decides the rounding: above a half up, a half to even.
    if (low < limbs) {
        const std::uint32_t high = fraction[limbs - 1];
        const bool half = high == 0x80000000u && low == limbs - 1;
        const char last = digits.empty() ? whole.back() : digits.back();
        if (high > 0x80000000u || (high == 0x80000000u && !half) ||
            (half && (last - '0') % 2 == 1)) {
            if (increment(digits) && increment(whole)) whole.insert(whole.begin(), '1');
        }
    }
    std::string out = sign + whole;
    if (decimals > 0) out.append(".").append(digits);
    return out;
}

bool is_plain_decimal(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    int digits = 0, points = 0;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            ++digits;
        } else if (text[i] == '.') {
            ++points;
        } else {
            return false;
        }
    }
    if (digits == 0 || points > 1) return false;
    if (i == text.size()) return true;
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t exponent_digits = text.size() - i;
    if (exponent_digits == 0 || exponent_digits > 18) return false;
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<long double> log10_of_text(std::string_view text) {
    if (const auto hex = parse(text)) return log10_of(*hex);
    if (!is_plain_decimal(text)) return std::nullopt;
    // The first nineteen significant digits and where the point falls.
    long double top = 0.0L;
    int used = 0;
    std::int64_t scale = 0;  // value ~ top * 10^scale
    bool point = false, started = false;
    std::size_t i = text[0] == '+' || text[0] == '-' ? 1 : 0;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        if (text[i] == '.') {
            point = true;
            continue;
        }
        const int digit = text[i] - '0';
        started = started || digit != 0;
        if (!started) {
            scale -= point;
            continue;
        }
        if (used < 19) {
            top = top * 10.0L + static_cast<long double>(digit);
            ++used;
            scale -= point;
        } else {
            scale += !point;
        }
    }
    if (!started) return std::nullopt;
    std::int64_t exponent = 0;
    if (i < text.size())
        exponent = std::strtoll(std::string(text.substr(i + 1)).c_str(), nullptr, 10);
    return std::log10(top) + static_cast<long double>(scale) + static_cast<long double>(exponent);
}

std::string decimal_of_log10(long double log10) {
    long double exponent = std::floor(log10);
    long double mantissa = std::pow(10.0L, log10 - exponent);
    if (mantissa >= 10.0L) {
        mantissa /= 10.0L;
        exponent += 1.0L;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.18Lfe%lld", mantissa, static_cast<long long>(exponent));
    return text;
}

}  // namespace quorvel::common
