#include "movie.h"

#include <cmath>
#include <cstdio>
#include <vector>

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
    std::vector<char> name(pattern.size() + 32);
    std::snprintf(name.data(), name.size(), pattern.c_str(), index);
    return name.data();
}

}  // namespace quorvel::render
