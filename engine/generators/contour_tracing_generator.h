// ContourTracingGenerator: "contour tracing", walks around regions of equal
// value and fills them without iterating their inside.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

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
    struct Point {
        int32_t x, y;
    };

    std::list<SeedRun> seeds_;
    std::vector<Point> contour_points_;
    bool tracing_ = false;
    int32_t start_x_ = 0, cur_x_ = 0, start_y_ = 0, cur_y_ = 0;
    int32_t dir_x_ = -1, dir_y_ = -1;
    uint32_t target_ = 0;
};

}  // namespace quorvel
