#include "places_text.h"

namespace quorvel::viewer {
namespace {

// The parsed slot, or the fault.
std::optional<PlaceText> parse_line(std::string_view line, std::string& problem) {
    std::string_view fields[4];
    for (int i = 0; i < 4; ++i) {
        const std::size_t space = line.find(' ');
        if ((space == std::string_view::npos) != (i == 3)) {
            problem = "four fields separated by single spaces expected";
            return std::nullopt;
        }
        fields[i] = line.substr(0, space);
        line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
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
                     static_cast<std::uint32_t>(iterations)};
}

}  // namespace

std::string places_text_path(const std::string& places_path) { return places_path + ".txt"; }

std::string format_places_text(const PlaceTexts& places) {
    std::string text;
    for (const auto& place : places) {
        if (place)
            text += place->view.x + " " + place->view.y + " " + place->view.radius + " " +
                    std::to_string(place->iterations);
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
