// The engine's exact hexadecimal text of a number, "-B.E5F7x-1": a sign, one
// hex digit, '.', hex digits, 'x' and a signed decimal exponent E, meaning
// 0xB.E5F7 * 2^(E - 3). Views of any depth come out of qv_get_view_strings in
// this form; here it is checked and turned into decimals for people to read,
// with no engine call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::common {

// A view's exact centre and radius as qv_get_view_strings writes them.
struct ExactView {
    std::string x, y, radius;
    bool operator==(const ExactView&) const = default;
};

// Whether the text has exactly the form above (digits in either case, an
// exponent of at most 18 digits, nothing around it).
bool is_hex_text(std::string_view text);
// The same, for a value above zero.
bool is_positive_hex_text(std::string_view text);

// The value rounded to the nearest double (0 or infinity out of range).
std::optional<double> hex_to_double(std::string_view text);

// floor(log10(|value|)) of a nonzero value; nothing for zero or a malformed text.
std::optional<std::int64_t> decimal_exponent(std::string_view text);

// The value with `significant` digits (1 to 18) in scientific notation, as
// printf's %g writes small numbers ("1.2e-1234", trailing zeros dropped,
// at least two exponent digits), whatever the exponent; "0" for zero. Within
// about 1e-10 relative: long double logarithms, not exact arithmetic.
std::string format_hex_scientific(std::string_view text, int significant);

// The value exactly rounded to `decimals` digits after the point, as printf's
// %.Nf writes a double (ties to even, "-0.000" for small negative values).
// Nothing for a malformed text or when the digits would pass kMaxDecimals, or
// the integer part 4096 bits: the work grows with their product.
inline constexpr int kMaxDecimals = 100000;
std::optional<std::string> hex_to_fixed_decimal(std::string_view text, int decimals);

// A plain decimal number of any length and exponent: [sign] digits with at
// most one point, then optionally 'e' or 'E', [sign] and up to 18 digits.
bool is_plain_decimal(std::string_view text);
// log10(|value|) of a decimal (as above) or hexadecimal text, whatever its
// exponent; nothing for zero or anything else. Within about 1e-15 relative to
// the exponent's size: long double arithmetic on the leading digits.
std::optional<long double> log10_of_text(std::string_view text);
// A positive decimal text of 10^log10 with 19 significant digits
// ("1.234567890123456789e-1234"), for radii far outside the double range.
std::string decimal_of_log10(long double log10);

}  // namespace quorvel::common
