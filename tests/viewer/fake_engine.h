// A recording stand-in for the engine library: the viewer's commands are
// tested against it without a window and without computing anything.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "quorvel.h"

namespace fake {

struct Engine {
    std::vector<std::string> calls;  // one line per call, e.g. "zoom_centered 1.6"
    int width = 600, height = 600, supersampling = 1;
    float gamma = 1.75f;
    unsigned max_iterations = 150;
    int generator_type = 0;
    bool preview = true;
    double x = 0.0, y = 0.0, radius = 2.0;
    int history_index = 0, history_last = 0;
    bool refine_image_result = true, refine_history_result = false;
    float progress = 0.4567f, cleverness = 0.9123f, time_spent = 1.25f;
    float cycling_speed = 0.0f;
    std::array<std::uint8_t, 768> palette{};
    std::vector<std::uint8_t> rgb;  // empty: qv_get_rgb_image returns null
    bool save_result = true, load_result = true;
    int megabytes = 0;
};

Engine& engine();
// Forgets every call and restores the defaults above.
void reset();
qv_handle handle();
// The calls whose text starts with `prefix`.
std::vector<std::string> calls_starting(const std::string& prefix);

}  // namespace fake
