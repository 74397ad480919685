// Exact centre coordinates: decimal text to the engine's 192-bit hexadecimal
// text form and back, with MPFR doing the arithmetic.
#pragma once

#include <optional>
#include <string>

namespace quorvel::render {

// The engine's hexadecimal text for a decimal number ("-0.7436", "1.5e-20"),
// rounded to nearest into 192 significant bits; empty if the text is not a
// finite decimal number.
std::optional<std::string> decimal_to_engine_text(const std::string& decimal);

// The value of engine text ("-B.E5F7x-1") rounded to `decimals` digits after
// the point, in plain fixed notation.
std::string engine_text_to_decimal(const std::string& text, int decimals);

// Engine text plus the exact sum of some doubles, rounded to nearest into 192
// bits (exact whenever the result fits).
std::string add_to_engine_text(const std::string& text, const double* offsets, int count);

// Exact text of any length plus 2^scale times the sum of some doubles, all
// exact: the hexadecimal text of the result, as many digits as it takes.
// Empty when the text is not the hexadecimal form.
std::string add_scaled_exactly(const std::string& text, const double* offsets, int count,
                               long scale);
// A positive hexadecimal text as mantissa * 2^exponent with the mantissa in
// [1, 2), rounded to nearest into 53 bits (a radius's texts are exact).
bool split_hex_text(const std::string& text, double& mantissa, long& exponent);
// The hexadecimal text of mantissa * 2^exponent, exactly.
std::string scaled_hex_text(double mantissa, long exponent);

// Digits after the point that place a centre within a tenth of a pixel of a
// picture with this radius and longer side.
int decimals_for_view(double radius, int longer_side);

// Significant digits a decimal text gives and those its value needs so that
// its last digit is no coarser than the radius. `needed` is 0 for a zero
// value, which any text states exactly.
struct DigitCount {
    int given = 0, needed = 0;
};
DigitCount count_digits(const std::string& decimal, double radius);
// The same for a radius given by its log10, at any depth.
DigitCount count_digits_at(const std::string& decimal, long double radius_log10);

}  // namespace quorvel::render
