// Zoom movies: the radius and iteration limit of each frame, and frame names.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel::render {

struct FrameView {
    double radius;  // 0 when it is below the double range
    uint32_t iterations;
    // The radius as text for the engine when the movie goes beyond doubles;
    // empty when `radius` is the frame's radius.
    std::string radius_text;
};

// Frame 0 is at the start radius, frame count-1 at the target. The radius
// shrinks geometrically; the limit moves linearly with the logarithm of the
// zoom, so by equal steps per frame.
class ZoomPlan {
public:
    ZoomPlan(int count, double from_radius, double to_radius, uint32_t from_iterations,
             uint32_t to_iterations);
    // Radii as decimal or hexadecimal text of any exponent. Between normal
    // doubles the frames are those of the doubles above; otherwise they are
    // computed in powers of ten (long double logarithms of the texts) and
    // carried as 19-digit decimal texts, the first and last frames exactly as
    // given.
    ZoomPlan(int count, const std::string& from_radius, const std::string& to_radius,
             uint32_t from_iterations, uint32_t to_iterations);
    int count() const { return count_; }
    FrameView frame(int index) const;

private:
    int count_;
    double from_radius_, to_radius_;
    uint32_t from_iterations_, to_iterations_;
    bool beyond_doubles_ = false;
    std::string from_text_, to_text_;
    long double from_log10_ = 0, to_log10_ = 0;
};

// The file name of frame `index` (0 or more) from a pattern like
// "frames/%05d.png" that is_frame_pattern accepts.
std::string frame_path(const std::string& pattern, int index);

}  // namespace quorvel::render
