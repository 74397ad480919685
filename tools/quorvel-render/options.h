// Command line of quorvel-render: what to render and where to put it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "picture_file.h"

namespace quorvel::render {

using ImageFormat = common::PictureFormat;

struct Options {
    // The centre as the engine reads it: decimal or hexadecimal BigFloat text.
    std::optional<std::string> centre_x, centre_y;
    std::optional<double> radius;
    std::optional<uint32_t> iterations;
    std::optional<int> width, height;  // both set or both empty
    std::optional<int> supersampling;
    std::optional<float> gamma;
    std::optional<int> generator;    // 0 contour, 1 box, 2 brute
    std::optional<int> deep_kernel;  // 0 auto, 1 exact, 2 perturbation
    std::optional<std::string> palette;
    std::optional<std::string> place_file;
    int place_slot = 0;
    std::optional<std::string> load_file;
    std::string out = "quorvel.png";
    ImageFormat format = ImageFormat::png;
    bool help = false;
};

// Outcome of parsing: either options or a one-line message naming the argument.
struct ParseResult {
    Options options;
    std::string error;  // empty on success
};

ParseResult parse_options(int argc, const char* const* argv);

// Checks of single values, shared with the rest of the tool.
bool is_decimal_text(const std::string& text);
bool is_big_float_text(const std::string& text);

inline constexpr int kPlaceSlots = 12;
inline constexpr int kMaxGrid = 32767;  // the engine's limit per grid axis

}  // namespace quorvel::render
