#include "view_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "exact_text.h"

namespace quorvel::common {

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_decimal_text(const std::string& text) {
    bool digit = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c != '+' && c != '-' && c != '.' && c != 'e' && c != 'E') {
            return false;
        }
    }
    return digit;
}

// Single quotes keep everything literal; a quote itself is closed, escaped
// and reopened.
std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

}  // namespace

bool is_centre_text(const std::string& text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    int digits = 0, points = 0;
    for (; i < text.size() && text[i] != 'x'; ++i) {
        if (is_hex_digit(text[i])) {
            ++digits;
        } else if (text[i] == '.') {
            ++points;
        } else {
            return false;
        }
    }
    if (digits == 0 || points > 1 || i == text.size()) return false;
    ++i;  // the 'x'
    // Anything beyond is far outside the set or below any usable depth.
    int exponent = 0;
    const char* first = text.c_str() + i;
    if (*first == '+' && first[1] != '-') ++first;
    const auto [end, ec] = std::from_chars(first, text.c_str() + text.size(), exponent);
    return ec == std::errc() && end == text.c_str() + text.size() && exponent >= -1000 &&
           exponent <= 16;
}

std::optional<double> read_decimal(const std::string& text) {
    if (!is_decimal_text(text)) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<double> read_radius(const std::string& text) {
    // The engine takes only positive normal radii; 2 is the whole set.
    const std::optional<double> r = read_decimal(text);
    if (!r || !std::isnormal(*r) || *r <= 0.0 || *r > 2.0) return std::nullopt;
    return r;
}

namespace {
// The engine's deepest radius, 2^-2^20, and its farthest centre, in powers of ten.
constexpr long double kDeepestLog10 = -315653.0L;
constexpr long double kLargestCentreLog10 = 4.0L;
constexpr long long kFarthestCentreLog2 = 60;
}  // namespace

// log2 of the size of an engine text "[sign]HHH.HHHxE" (value 0xHHH.HHH
// times 2^(E-3)) is below 4 times the digits before the point, leading zeros
// aside, plus E.
bool centre_text_in_reach(const std::string& text) {
    const size_t x = text.find('x');
    const size_t point = std::min(text.find('.'), x);
    size_t first = text[0] == '+' || text[0] == '-' ? 1 : 0;
    while (first < point && text[first] == '0') ++first;
    const long long exponent = std::strtoll(text.c_str() + x + 1, nullptr, 10);
    return 4 * static_cast<long long>(point - first) + exponent <= kFarthestCentreLog2;
}

bool is_centre_value(const std::string& text) {
    // The engine takes centres below 2^64, whatever text form they come in.
    if (is_centre_text(text)) return centre_text_in_reach(text);
    const bool hex = text.find('x') != std::string::npos;
    if (hex ? !is_hex_text(text) : !is_plain_decimal(text)) return false;
    const std::optional<long double> log10 = log10_of_text(text);
    // Nothing: a zero.
    return !log10 || (*log10 <= kLargestCentreLog10 && *log10 >= kDeepestLog10);
}

std::optional<long double> read_radius_log10(const std::string& text) {
    if (text.empty() || text[0] == '-') return std::nullopt;
    if (text.find('x') != std::string::npos ? !is_hex_text(text) : !is_plain_decimal(text))
        return std::nullopt;
    const std::optional<long double> log10 = log10_of_text(text);
    if (!log10 || !std::isfinite(*log10) || *log10 < kDeepestLog10 + 1.0L || *log10 > 300.0L)
        return std::nullopt;
    return log10;
}

std::optional<uint32_t> read_iterations(const std::string& text) {
    return read_whole_number<uint32_t>(text, 2, UINT32_MAX);
}

std::optional<int> read_supersampling(const std::string& text) {
    return read_whole_number<int>(text, 1, 8);
}

std::optional<float> read_gamma(const std::string& text) {
    const std::optional<double> g = read_decimal(text);
    if (!g || *g <= 0.0 || *g > 100.0) return std::nullopt;
    return static_cast<float>(*g);
}

std::optional<double> read_colour_density(const std::string& text) {
    const std::optional<double> d = read_decimal(text);
    if (!d || !(*d > 0.0)) return std::nullopt;
    return d;
}

std::optional<double> read_colour_phase(const std::string& text) { return read_decimal(text); }

std::string format_view_text(const ViewText& view) {
    char number[64];
    std::string text = "centre-x " + view.centre_x + "\ncentre-y " + view.centre_y + "\n";
    // A radius no double carries, given as text without exact lines (2 or
    // more, or below the double range), keeps its text: written as 0 it
    // would read back as damage.
    std::snprintf(number, sizeof number, "%.17g", view.radius);
    const bool text_radius = view.exact_x.empty() && !view.radius_text.empty();
    text += "radius " + (text_radius ? view.radius_text : std::string(number)) + "\n";
    text += "iterations " + std::to_string(view.iterations) + "\n";
    if (view.supersampling > 0)
        text += "supersampling " + std::to_string(view.supersampling) + "\n";
    if (view.gamma > 0.0f) {
        std::snprintf(number, sizeof number, "%.9g", static_cast<double>(view.gamma));
        text += std::string("gamma ") + number + "\n";
    }
    if (!view.palette.empty()) text += "palette " + view.palette + "\n";
    if (!view.plain_mapping()) {
        std::snprintf(number, sizeof number, "%.17g", view.colour_density);
        text += std::string("colour-density ") + number + "\n";
        std::snprintf(number, sizeof number, "%.17g", view.colour_phase);
        text += std::string("colour-phase ") + number + "\n";
        if (view.smooth) text += "smooth 1\n";
    }
    if (!view.exact_x.empty()) {
        text += "exact-centre-x " + view.exact_x + "\nexact-centre-y " + view.exact_y +
                "\nexact-radius " + view.radius_text + "\n";
    }
    return text;
}

std::string render_command_line(const ViewText& view, int width, int height) {
    char number[64];
    std::string line = "quorvel-render --centre " + view.centre_x + " " + view.centre_y;
    std::snprintf(number, sizeof number, "%.17g", view.radius);
    line += " --radius " + (view.radius_text.empty() ? number : view.radius_text);
    line += " --iterations " + std::to_string(view.iterations);
    line += " --size " + std::to_string(width) + "x" + std::to_string(height);
    if (view.supersampling > 0) line += " --supersampling " + std::to_string(view.supersampling);
    if (view.gamma > 0.0f) {
        std::snprintf(number, sizeof number, "%.9g", static_cast<double>(view.gamma));
        line += std::string(" --gamma ") + number;
    }
    if (!view.palette.empty()) line += " --palette " + shell_quoted(view.palette);
    if (!view.plain_mapping()) {
        std::snprintf(number, sizeof number, "%.17g", view.colour_density);
        line += std::string(" --colour-density ") + number;
        std::snprintf(number, sizeof number, "%.17g", view.colour_phase);
        line += std::string(" --colour-phase ") + number;
        if (view.smooth) line += " --smooth";
    }
    return line + " --out quorvel.png";
}

std::optional<ViewText> parse_view_text(const std::string& text) {
    ViewText view;
    std::optional<long double> radius;
    std::string radius_line;
    std::optional<uint32_t> iterations;
    bool x = false, y = false;
    int exact_keys = 0;
    bool exact_good = true;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const std::string key = line.substr(0, space), value = line.substr(space + 1);
        if (key == "centre-x") {
            view.centre_x = value;
            x = is_centre_value(value);
        } else if (key == "centre-y") {
            view.centre_y = value;
            y = is_centre_value(value);
        } else if (key == "radius") {
            radius = read_radius_log10(value);
            radius_line = value;
        } else if (key == "iterations") {
            iterations = read_iterations(value);
        } else if (key == "supersampling") {
            view.supersampling = read_supersampling(value).value_or(0);
        } else if (key == "gamma") {
            view.gamma = read_gamma(value).value_or(0.0f);
        } else if (key == "palette") {
            view.palette = value;
        } else if (key == "colour-density") {
            view.colour_density = read_colour_density(value).value_or(1.0);
        } else if (key == "colour-phase") {
            view.colour_phase = read_colour_phase(value).value_or(0.0);
        } else if (key == "smooth") {
            view.smooth = value == "1";
        } else if (key == "exact-centre-x" || key == "exact-centre-y") {
            ++exact_keys;
            exact_good = exact_good && is_hex_text(value);
            (key == "exact-centre-x" ? view.exact_x : view.exact_y) = value;
        } else if (key == "exact-radius") {
            ++exact_keys;
            exact_good = exact_good && is_positive_hex_text(value);
            view.radius_text = value;
        }
    }
    if (exact_keys != 0) {
        // A deeper view: the exact texts decide, its radius line may be 0.
        if (exact_keys != 3 || view.exact_x.empty() || view.exact_y.empty() ||
            view.radius_text.empty() || !exact_good || !iterations)
            return std::nullopt;
        view.radius = hex_to_double(view.radius_text).value_or(0.0);
        view.iterations = *iterations;
        return view;
    }
    if (!(x && y && radius && iterations)) return std::nullopt;
    // The command line's rules: beyond a normal double of at most 2, the text.
    const std::optional<double> value = read_radius(radius_line);
    view.radius = value.value_or(0.0);
    if (!value) view.radius_text = radius_line;
    view.iterations = *iterations;
    return view;
}

}  // namespace quorvel::common
