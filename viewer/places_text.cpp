#include "places_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace quorvel::viewer {
namespace {

// A number of a mapping, only in the form mapping_number() writes.
std::optional<double> read_mapping_number(std::string_view field) {
    const std::string text(field);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) ||
        mapping_number(value) != text)
        return std::nullopt;
    return value;
}

// The parsed slot, or the fault.
std::optional<PlaceText> parse_line(std::string_view line, std::string& problem) {
    std::string_view fields[7];
    int count = 0;
    bool more = true;  // a space follows the last field taken
    while (more && count < 7) {
        const std::size_t space = line.find(' ');
        fields[count++] = line.substr(0, space);
        more = space != std::string_view::npos;
        if (more) line = line.substr(space + 1);
    }
    if ((count != 4 && count != 7) || more) {
        problem = "four (or seven) fields separated by single spaces expected";
        return std::nullopt;
    }
    std::optional<PlaceMapping> mapping;
    if (count == 7) {
        const auto density = read_mapping_number(fields[4]);
        const auto phase = read_mapping_number(fields[5]);
        if (!density || !(*density > 0.0) || !phase || !(*phase >= 0.0 && *phase < 256.0) ||
            (fields[6] != "0" && fields[6] != "1")) {
            problem =
                "the colour mapping is not a density above 0, a phase from 0 to 256 and 0 or 1";
            return std::nullopt;
        }
        mapping = PlaceMapping{*density, *phase, fields[6] == "1"};
        if (*mapping == PlaceMapping{}) {
            problem = "the plain colour mapping is written as four fields";
            return std::nullopt;
        }
    }
    if (!is_hex_text(fields[0]) || !is_hex_text(fields[1])) {
        problem = "the centre is no exact hexadecimal text";
        return std::nullopt;
    }
    if (!is_positive_hex_text(fields[2])) {
        problem = "the radius is no positive exact hexadecimal text";
        return std::nullopt;
    }
    const std::string_view limit = fields[3];
    std::uint64_t iterations = 0;
    bool digits = !limit.empty() && limit.size() <= 10 && limit[0] != '0';
    for (char c : limit) {
        digits = digits && c >= '0' && c <= '9';
        if (digits) iterations = iterations * 10 + static_cast<unsigned>(c - '0');
    }
    if (!digits || iterations < 2 || iterations > UINT32_MAX) {
        problem = "the iteration limit is not a number from 2 to 4294967295";
        return std::nullopt;
    }
    return PlaceText{{std::string(fields[0]), std::string(fields[1]), std::string(fields[2])},
                     static_cast<std::uint32_t>(iterations),
                     mapping};
}

}  // namespace

std::string mapping_number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string places_text_path(const std::string& places_path) { return places_path + ".txt"; }

std::string format_places_text(const PlaceTexts& places) {
    std::string text;
    for (const auto& place : places) {
        if (place)
            text += place->view.x + " " + place->view.y + " " + place->view.radius + " " +
                    std::to_string(place->iterations);
        if (place && place->mapping && *place->mapping != PlaceMapping{}) {
            text.append(1, ' ').append(mapping_number(place->mapping->density));
            text.append(1, ' ').append(mapping_number(place->mapping->phase));
            text.append(place->mapping->smooth ? " 1" : " 0");
        }
        text += '\n';
    }
    return text;
}

bool parse_places_text(std::string_view text, PlaceTexts& places, std::string& problem) {
    PlaceTexts read;
    for (int slot = 0; slot < kPlaceCount; ++slot) {
        const std::size_t end = text.find('\n');
        const std::string where = "line " + std::to_string(slot + 1) + ": ";
        if (end == std::string_view::npos) {
            problem = where + (text.empty() ? "missing" : "no line end");
            return false;
        }
        if (end > 0) {
            read[slot] = parse_line(text.substr(0, end), problem);
            if (!read[slot]) {
                problem = where + problem;
                return false;
            }
        }
        text.remove_prefix(end + 1);
    }
    if (!text.empty()) {
        problem = "more than " + std::to_string(kPlaceCount) + " lines";
        return false;
    }
    places = std::move(read);
    return true;
}

}  // namespace quorvel::viewer
