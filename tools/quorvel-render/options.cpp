#include "options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace quorvel::render {
namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    out.append(text);
    out.push_back('\'');
    return out;
}

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    text.remove_prefix(text.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

// Whole-text integer in [low, high]; no sign, blanks or trailing characters.
template <typename T>
bool parse_integer(std::string_view text, T low, T high, T& out) {
    if (text.empty() || text[0] == '+' || text[0] == '-') return false;
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (value < low || value > high) return false;
    out = value;
    return true;
}

// Whole-text decimal number; rejects the special forms strtod would also take
// (inf, nan, hexadecimal floats).
bool parse_decimal(const std::string& text, double& out) {
    if (!is_decimal_text(text)) return false;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

}  // namespace

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

// The engine's hexadecimal form: [sign] hex digits with at most one point, a
// lower-case 'x', then a signed decimal exponent, e.g. "-B.E5x-1".
bool is_big_float_text(const std::string& text) {
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
    // Binary exponents that keep the centre a normal double in size; anything
    // else is far outside the set or below any usable depth.
    int exponent = 0;
    const char* first = text.c_str() + i;
    if (*first == '+' && first[1] != '-') ++first;
    auto [end, ec] = std::from_chars(first, text.c_str() + text.size(), exponent);
    return ec == std::errc() && end == text.c_str() + text.size() && exponent >= -1000 &&
           exponent <= 16;
}

ParseResult parse_options(int argc, const char* const* argv) {
    ParseResult result;
    Options& o = result.options;
    std::string& error = result.error;

    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        // Fetches the n-th value after the option name.
        auto value = [&](int n, std::string& out) {
            if (i + n >= argc) {
                error = std::string(name) + ": missing value";
                return false;
            }
            out = argv[i + n];
            return true;
        };
        std::string v, w;

        if (name == "--help" || name == "-h") {
            o.help = true;
            return result;
        } else if (name == "--centre" || name == "--center") {
            if (!value(1, v) || !value(2, w)) return result;
            for (const std::string* coordinate : {&v, &w}) {
                double ignored;
                if (!is_big_float_text(*coordinate) && !parse_decimal(*coordinate, ignored)) {
                    error = std::string(name) + ": " + quoted(*coordinate) +
                            " is neither a decimal number nor hexadecimal text like +B.Ex-1";
                    return result;
                }
            }
            o.centre_x = v;
            o.centre_y = w;
            i += 2;
        } else if (name == "--radius") {
            if (!value(1, v)) return result;
            double r;
            if (!parse_decimal(v, r) || !std::isnormal(r) || r <= 0.0 || r > 2.0) {
                error = "--radius: " + quoted(v) + " is not a number above 0 and at most 2";
                return result;
            }
            o.radius = r;
            ++i;
        } else if (name == "--iterations") {
            if (!value(1, v)) return result;
            uint32_t n;
            if (!parse_integer<uint32_t>(v, 2, UINT32_MAX, n)) {
                error =
                    "--iterations: " + quoted(v) + " is not a whole number from 2 to 4294967295";
                return result;
            }
            o.iterations = n;
            ++i;
        } else if (name == "--size") {
            if (!value(1, v)) return result;
            const size_t x = v.find('x');
            int width, height;
            if (x == std::string::npos ||
                !parse_integer<int>(std::string_view(v).substr(0, x), 1, kMaxGrid, width) ||
                !parse_integer<int>(std::string_view(v).substr(x + 1), 1, kMaxGrid, height)) {
                error = "--size: " + quoted(v) + " is not WIDTHxHEIGHT with sides from 1 to 32767";
                return result;
            }
            o.width = width;
            o.height = height;
            ++i;
        } else if (name == "--supersampling") {
            if (!value(1, v)) return result;
            int factor;
            if (!parse_integer<int>(v, 1, 8, factor)) {
                error = "--supersampling: " + quoted(v) + " is not a whole number from 1 to 8";
                return result;
            }
            o.supersampling = factor;
            ++i;
        } else if (name == "--gamma") {
            if (!value(1, v)) return result;
            double g;
            if (!parse_decimal(v, g) || g <= 0.0 || g > 100.0) {
                error = "--gamma: " + quoted(v) + " is not a number above 0 and at most 100";
                return result;
            }
            o.gamma = static_cast<float>(g);
            ++i;
        } else if (name == "--generator") {
            if (!value(1, v)) return result;
            if (v == "contour") {
                o.generator = 0;
            } else if (v == "box") {
                o.generator = 1;
            } else if (v == "brute") {
                o.generator = 2;
            } else {
                error = "--generator: " + quoted(v) + " is not one of contour, box, brute";
                return result;
            }
            ++i;
        } else if (name == "--deep-kernel") {
            if (!value(1, v)) return result;
            if (v == "auto") {
                o.deep_kernel = 0;
            } else if (v == "exact") {
                o.deep_kernel = 1;
            } else if (v == "perturbation") {
                o.deep_kernel = 2;
            } else {
                error = "--deep-kernel: " + quoted(v) + " is not one of auto, exact, perturbation";
                return result;
            }
            ++i;
        } else if (name == "--palette") {
            if (!value(1, v)) return result;
            o.palette = v;
            ++i;
        } else if (name == "--place") {
            if (!value(1, v)) return result;
            // FILE or FILE:SLOT; a colon followed by anything but digits is part of the name.
            const size_t colon = v.rfind(':');
            std::string file = v;
            int slot = 0;
            if (colon != std::string::npos && colon + 1 < v.size() &&
                std::strspn(v.c_str() + colon + 1, "0123456789") == v.size() - colon - 1) {
                if (!parse_integer<int>(std::string_view(v).substr(colon + 1), 0, kPlaceSlots - 1,
                                        slot)) {
                    error = "--place: slot in " + quoted(v) + " is not from 0 to 11";
                    return result;
                }
                file = v.substr(0, colon);
            }
            if (file.empty()) {
                error = "--place: " + quoted(v) + " names no file";
                return result;
            }
            o.place_file = file;
            o.place_slot = slot;
            ++i;
        } else if (name == "--load") {
            if (!value(1, v)) return result;
            o.load_file = v;
            ++i;
        } else if (name == "--out" || name == "-o") {
            if (!value(1, v)) return result;
            if (ends_with_ignoring_case(v, ".png")) {
                o.format = ImageFormat::png;
            } else if (ends_with_ignoring_case(v, ".tga")) {
                o.format = ImageFormat::tga;
            } else {
                error = std::string(name) + ": " + quoted(v) + " does not end in .png or .tga";
                return result;
            }
            o.out = v;
            ++i;
        } else if (name.starts_with("-")) {
            error = quoted(name) + ": unknown option (see --help)";
            return result;
        } else {
            error = quoted(name) + ": unexpected argument (see --help)";
            return result;
        }
    }

    if (o.place_file && o.load_file) {
        error = "--place: cannot be combined with --load";
    } else if (o.width && int64_t{*o.width} * o.supersampling.value_or(1) > kMaxGrid) {
        error = "--size: width " + std::to_string(*o.width) + " at supersampling " +
                std::to_string(o.supersampling.value_or(1)) +
                " exceeds the grid limit of 32767 pixels";
    } else if (o.height && int64_t{*o.height} * o.supersampling.value_or(1) > kMaxGrid) {
        error = "--size: height " + std::to_string(*o.height) + " at supersampling " +
                std::to_string(o.supersampling.value_or(1)) +
                " exceeds the grid limit of 32767 pixels";
    }
    return result;
}

}  // namespace quorvel::render
