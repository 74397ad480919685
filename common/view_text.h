// The view a picture shows, as the text of its PNG tEXt chunk: one "key value"
// line each for the exact centre, radius, iteration limit, supersampling,
// gamma and palette. Written by the viewer's export and quorvel-render, read
// back by quorvel-render --place.
//
// A colour mapping other than the plain one adds "colour-density D",
// "colour-phase P" and "smooth 1" lines; without them the mapping is (1, 0,
// off), and the text is what it was before mappings.
//
// A view deeper than 192-bit coordinates and a double radius hold keeps those
// lines, written as always (its centre rounded to 192 bits, its radius as the
// double it rounds to, 0 below the double range), and adds three more with the
// exact texts of qv_get_view_strings, any length and exponent:
//   exact-centre-x <hex>   exact-centre-y <hex>   exact-radius <hex>
// A reader that knows them takes the view from them; older readers ignore
// unknown keys, so they refuse a radius of 0 as damaged and read any other
// deeper view as its 192-bit rounding. All three or none: one missing or
// malformed makes the text damaged.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace quorvel::common {

inline constexpr const char* kViewChunkKeyword = "quorvel view";

struct ViewText {
    std::string centre_x, centre_y;  // the engine's hexadecimal text
    double radius = 2.0;             // 0 when no normal double
    // The exact text of a radius a double cannot carry (any depth); when set,
    // the command line gives it instead of `radius`, and a picture's view is
    // read from it.
    std::string radius_text;
    // The exact centre of a deeper view (with radius_text: its exact radius
    // in the hexadecimal form); empty for a view within 192 bits.
    std::string exact_x, exact_y;
    uint32_t iterations = 150;
    int supersampling = 0;  // 0: not known
    float gamma = 0.0f;     // 0: not known
    std::string palette;    // the path as given; empty: none given
    double colour_density = 1.0;
    double colour_phase = 0.0;
    bool smooth = false;
    bool plain_mapping() const { return colour_density == 1.0 && colour_phase == 0.0 && !smooth; }
};

// The values of a view as text, read by one set of rules wherever they come
// from: the view text and the renderer's command line. Each takes the whole
// text. Centres stay text, which the engine reads exactly, whatever its length.

// A whole number from `low` to `high`, without a sign, blanks or anything else.
template <typename T>
std::optional<T> read_whole_number(std::string_view text, T low, T high) {
    if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

// The engine's hexadecimal form: [sign] hex digits with at most one point, a
// lower-case 'x', then a signed decimal exponent from -1000 to 16 (a centre of
// the size of a normal double), e.g. "-B.E5x-1".
bool is_centre_text(const std::string& text);
// A plain decimal number: digits, sign, point and exponent (no inf, nan or
// hexadecimal forms), finite as a double.
std::optional<double> read_decimal(const std::string& text);
// A decimal radius that is a positive normal double of at most 2.
std::optional<double> read_radius(const std::string& text);
// Centre text the engine takes: decimal of any length and exponent, or the
// hexadecimal form (is_centre_text, or any length and exponent), at most 1e4
// in size.
bool is_centre_value(const std::string& text);
// log10 of a radius text the engine holds: decimal or hexadecimal above 0, any
// exponent down to its deepest radius (2^-2^20) and up to 1e300; 2 or more is
// the whole set.
std::optional<long double> read_radius_log10(const std::string& text);
// A whole iteration limit from 2 to 4294967295, without a sign.
std::optional<uint32_t> read_iterations(const std::string& text);
// A whole supersampling factor from 1 to 8.
std::optional<int> read_supersampling(const std::string& text);
// A decimal gamma above 0 and at most 100.
std::optional<float> read_gamma(const std::string& text);
// A decimal colour density: positive and finite.
std::optional<double> read_colour_density(const std::string& text);
// A decimal colour phase, any finite number (the engine takes it modulo 256).
std::optional<double> read_colour_phase(const std::string& text);

std::string format_view_text(const ViewText& view);
// A ready quorvel-render command line for the view at this picture size;
// the palette path is quoted for the shell.
std::string render_command_line(const ViewText& view, int width, int height);
// Empty when a line is missing or malformed (centre, radius and limit are
// required); a malformed supersampling or gamma reads as not known.
std::optional<ViewText> parse_view_text(const std::string& text);

}  // namespace quorvel::common
