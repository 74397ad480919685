// Command line of quorvel-render: what to render and where to put it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "picture_file.h"

namespace quorvel::render {

using ImageFormat = common::PictureFormat;

struct FrameRange {
    int first = 0, last = 0;  // both included
};

struct Options {
    // The centre and radius as given: decimal or hexadecimal text of any
    // length and exponent, which the engine reads exactly.
    std::optional<std::string> centre_x, centre_y;
    std::optional<std::string> radius;
    std::optional<uint32_t> iterations;
    std::optional<int> width, height;  // both set or both empty
    std::optional<int> supersampling;
    std::optional<float> gamma;
    std::optional<int> generator;    // 0 contour, 1 box, 2 brute
    std::optional<int> deep_kernel;  // 0 auto, 1 exact, 2 perturbation, 3 plain
    std::optional<std::string> palette;
    std::optional<std::string> place_file;  // a places file or a PNG picture
    int place_slot = 0;
    std::optional<std::string> load_file;
    std::string out = "quorvel.png";
    ImageFormat format = ImageFormat::png;
    // Zoom movies.
    std::optional<int> zoom_frames;
    std::optional<std::string> zoom_from;  // default 2
    std::optional<uint32_t> iterations_from;
    std::optional<FrameRange> frames;
    std::optional<std::string> video;
    std::optional<int> jobs;
    bool help = false;
};

// Outcome of parsing: either options or a one-line message naming the argument.
struct ParseResult {
    Options options;
    std::string error;  // empty on success
};

ParseResult parse_options(int argc, const char* const* argv);

// A file name pattern with one printf integer conversion (%d, %05d), the
// only '%' apart from "%%".
bool is_frame_pattern(const std::string& text);

inline constexpr int kPlaceSlots = 12;
inline constexpr int kMaxGrid = 32767;  // the engine's limit per grid axis
inline constexpr int kMaxFrames = 1000000;
inline constexpr int kMaxJobs = 1024;

}  // namespace quorvel::render
