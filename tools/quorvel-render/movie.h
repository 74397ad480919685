// Zoom movies: the radius and iteration limit of each frame, and frame names.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel::render {

struct FrameView {
    double radius;
    uint32_t iterations;
};

// Frame 0 is at the start radius, frame count-1 at the target. The radius
// shrinks geometrically; the limit moves linearly with the logarithm of the
// zoom, so by equal steps per frame.
class ZoomPlan {
public:
    ZoomPlan(int count, double from_radius, double to_radius, uint32_t from_iterations,
             uint32_t to_iterations);
    int count() const { return count_; }
    FrameView frame(int index) const;

private:
    int count_;
    double from_radius_, to_radius_;
    uint32_t from_iterations_, to_iterations_;
};

// The file name of frame `index` (0 or more) from a pattern like
// "frames/%05d.png" that is_frame_pattern accepts.
std::string frame_path(const std::string& pattern, int index);

}  // namespace quorvel::render
