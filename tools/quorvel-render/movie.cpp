#include "movie.h"

#include <cmath>

namespace quorvel::render {

ZoomPlan::ZoomPlan(int count, double from_radius, double to_radius, uint32_t from_iterations,
                   uint32_t to_iterations)
    : count_(count),
      from_radius_(from_radius),
      to_radius_(to_radius),
      from_iterations_(from_iterations),
      to_iterations_(to_iterations) {}

FrameView ZoomPlan::frame(int index) const {
    if (count_ <= 1 || index >= count_ - 1) return {to_radius_, to_iterations_};
    const double t = static_cast<double>(index) / (count_ - 1);
    double radius =
        index == 0 ? from_radius_ : from_radius_ * std::pow(to_radius_ / from_radius_, t);
    // The engine shows the whole set, centred on 0, from radius 2 up; just
    // below it the movie keeps its centre.
    if (radius >= 2.0) radius = std::nextafter(2.0, 0.0);
    const double limit =
        from_iterations_ + (static_cast<double>(to_iterations_) - from_iterations_) * t;
    return {radius, static_cast<uint32_t>(std::llround(limit))};
}

std::string frame_path(const std::string& pattern, int index) {
    // Built as a string, not printed into a buffer: a width of up to 99 makes
    // a name of any length, and the pattern never becomes a format string.
    std::string name;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            name += pattern[i];
            continue;
        }
        if (++i < pattern.size() && pattern[i] == '%') {
            name += '%';
            continue;
        }
        const bool zeros = i < pattern.size() && pattern[i] == '0';
        if (zeros) ++i;
        size_t width = 0;
        for (; i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9'; ++i)
            width = width * 10 + static_cast<size_t>(pattern[i] - '0');
        // i is at the 'd' is_frame_pattern requires; frame numbers are never
        // negative.
        const std::string digits = std::to_string(index);
        name += std::string(width > digits.size() ? width - digits.size() : 0, zeros ? '0' : ' ');
        name += digits;
    }
    return name;
}

}  // namespace quorvel::render
