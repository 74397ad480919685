#include "view_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace quorvel::common {

std::string format_view_text(const ViewText& view) {
    char number[64];
    std::string text = "centre-x " + view.centre_x + "\ncentre-y " + view.centre_y + "\n";
    std::snprintf(number, sizeof number, "%.17g", view.radius);
    text += std::string("radius ") + number + "\n";
    text += "iterations " + std::to_string(view.iterations) + "\n";
    if (view.supersampling > 0)
        text += "supersampling " + std::to_string(view.supersampling) + "\n";
    if (view.gamma > 0.0f) {
        std::snprintf(number, sizeof number, "%.9g", static_cast<double>(view.gamma));
        text += std::string("gamma ") + number + "\n";
    }
    if (!view.palette.empty()) text += "palette " + view.palette + "\n";
    return text;
}

namespace {

// The engine's hexadecimal form: [sign] hex digits with one point, 'x', a
// signed decimal exponent.
bool is_engine_text(const std::string& text) {
    size_t i = text.size() > 0 && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    const size_t digits = text.find_first_not_of("0123456789ABCDEFabcdef.", i);
    if (digits == std::string::npos || digits == i || text[digits] != 'x') return false;
    i = digits + 1;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    return i < text.size() && text.find_first_not_of("0123456789", i) == std::string::npos;
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
    return line + " --out quorvel.png";
}

std::optional<ViewText> parse_view_text(const std::string& text) {
    ViewText view;
    bool x = false, y = false, radius = false, iterations = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const std::string key = line.substr(0, space), value = line.substr(space + 1);
        char* end = nullptr;
        if (key == "centre-x") {
            view.centre_x = value;
            x = is_engine_text(value);
        } else if (key == "centre-y") {
            view.centre_y = value;
            y = is_engine_text(value);
        } else if (key == "radius") {
            view.radius = std::strtod(value.c_str(), &end);
            radius = end != value.c_str() && *end == '\0' && view.radius > 0.0 &&
                     std::isfinite(view.radius);
        } else if (key == "iterations") {
            const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
            iterations = end != value.c_str() && *end == '\0' && n >= 2 && n <= UINT32_MAX;
            view.iterations = static_cast<uint32_t>(n);
        } else if (key == "supersampling") {
            const long n = std::strtol(value.c_str(), &end, 10);
            view.supersampling = *end == '\0' && n >= 1 && n <= 8 ? static_cast<int>(n) : 0;
        } else if (key == "gamma") {
            const double g = std::strtod(value.c_str(), &end);
            view.gamma = *end == '\0' && g > 0.0 && g <= 100.0 ? static_cast<float>(g) : 0.0f;
        } else if (key == "palette") {
            view.palette = value;
        }
    }
    if (!(x && y && radius && iterations)) return std::nullopt;
    return view;
}

}  // namespace quorvel::common
