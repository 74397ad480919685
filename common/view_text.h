// The view a picture shows, as the text of its PNG tEXt chunk: one "key value"
// line each for the exact centre, radius, iteration limit, supersampling,
// gamma and palette. Written by the viewer's export and quorvel-render, read
// back by quorvel-render --place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvel::common {

inline constexpr const char* kViewChunkKeyword = "quorvel view";

struct ViewText {
    std::string centre_x, centre_y;  // the engine's hexadecimal text
    double radius = 2.0;
    // The exact text of a radius a double cannot carry (any depth); when set,
    // the command line gives it instead of `radius`.
    std::string radius_text;
    uint32_t iterations = 150;
    int supersampling = 0;  // 0: not known
    float gamma = 0.0f;     // 0: not known
    std::string palette;    // the path as given; empty: none given
};

std::string format_view_text(const ViewText& view);
// A ready quorvel-render command line for the view at this picture size;
// the palette path is quoted for the shell.
std::string render_command_line(const ViewText& view, int width, int height);
// Empty when a line is missing or malformed (centre, radius and limit are
// required).
std::optional<ViewText> parse_view_text(const std::string& text);

}  // namespace quorvel::common
