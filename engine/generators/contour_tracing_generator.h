// ContourTracingGenerator: "contour tracing", walks around regions of equal
// value and fills them without iterating their inside.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "api/stopwatch.h"
#include "generators/generator.h"

namespace quorvel {

// A stretch of a row still to be scanned: columns x .. x_last of row y.
struct SeedRun {
    int32_t x, x_last, y;
};

class ContourTracingGenerator final : public Generator {
public:
    explicit ContourTracingGenerator(Fractal& view);
    bool refine(float seconds) override;
    void restart() override;
    double fraction_done() const override;

private:
    friend struct GeneratorProbe;  // unit tests interrupt walks by leg count

    struct Point {
        int32_t x, y;
    };

    // Continues the pending walk; false when it yielded at the walk cap.
    bool walk(const Stopwatch& watch);
    // Fills the region of a completed walk and removes it from the seeds.
    void fill();

    std::list<SeedRun> seeds_;
    std::vector<Point> contour_points_;
    bool tracing_ = false;
    int32_t start_x_ = 0, cur_x_ = 0, start_y_ = 0, cur_y_ = 0;
    int32_t dir_x_ = -1, dir_y_ = -1;
    uint32_t target_ = 0;
    std::vector<Span> spans_;  // reused by every fill
    // When non-zero, a walk also yields after this many horizontal legs per
    // call; lets tests interrupt walks without depending on the clock.
    uint32_t legs_per_call_ = 0;
};

}  // namespace quorvel
