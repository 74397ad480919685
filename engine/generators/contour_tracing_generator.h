// ContourTracingGenerator: "contour tracing", walks around regions of equal
// value and fills them without iterating their inside.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "base/bit_set.h"
#include "base/stopwatch.h"
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

    // Where a walk stands: before a horizontal leg (the only place it may
    // yield at its cap), or before one of its four looks at a neighbour.
    enum Step : uint8_t {
        kLegStart,
        kAcross,          // the next pixel along the row
        kHorizontalTurn,  // after a step along the row: the pixel up or down
        kUpDown,          // the next pixel up or down
        kVerticalAhead,   // after a step up or down: the pixel along the row
    };
    // A walk's position, direction and next look, in locals while it runs.
    struct Walker {
        int32_t x, y, dx, dy;
        Step step;
    };

    // Continues the pending walk; false when it stopped at the end of the
    // budget or yielded at the walk cap, keeping its place either way.
    bool walk(const Budget& budget);
    // The neighbour the walker's next look is at.
    static Point looked_at(const Walker& w);
    // Moves the walker on after a look that found the neighbour inside the
    // region or not; true when the walk is back at its start. Records the
    // border points when kRecord.
    template <bool kRecord>
    bool advance(Walker& w, bool inside);
    // Makes the pixel of the walker's next look ready, listing the pixels the
    // walk will likely look at after it; false when the budget ended first.
    bool make_walk_ready(const Walker& w, const Budget& budget);
    // Follows a walk from w as if every pixel not known yet were inside the
    // region: lists the pixels it looks at for the batch kernel when `list`,
    // and, when no forecast is pending, keeps its first looks as one.
    void queue_walk(Walker w, bool list);
    // Compares the walk's look at q with the pending forecast, scoring the
    // forecast once it came true or failed.
    void check_forecast(Point q);
    // Makes the pixels ready for the pixel query (computed or iterated ahead
    // with the tile around each); false when the budget ended first.
    bool make_ready(const Point* points, int count, const Budget& budget);
    void choose_tile();
    // Lists pixel (x, y) for the batch kernel unless it lies outside the
    // grid, is known, listed or inside a filled region; true when listed.
    bool list_pixel(int32_t x, int32_t y);
    // Lists, around a pixel the walk waits for, the pixels of a coarse grid;
    // the cells between them are refined as their corners come ready.
    void queue_grid(Point q);
    // Refines the cells whose corners the batch kernel made ready since the
    // last call.
    void refine_ready();
    // The cell of side 2h with top-left corner (x, y), once its corners are
    // ready and not all of one value: lists its centre and the middles of its
    // sides, the corners of the cells of half its side.
    void refine_cell(int32_t x, int32_t y, int32_t h);
    // Fills the region of a completed walk and removes it from the seeds.
    void fill();
    // Marks the pixels of the spans of the last fill in filled_.
    void mark_filled();

    std::list<SeedRun> seeds_;
    std::vector<Point> contour_points_;
    bool tracing_ = false;
    int32_t start_x_ = 0, cur_x_ = 0, start_y_ = 0, cur_y_ = 0;
    int32_t dir_x_ = -1, dir_y_ = -1;
    uint32_t target_ = 0;
    uint32_t target_count_ = 0;  // the full count of the walk's first pixel
    Step step_ = kLegStart;
    double walk_seconds_ = 0.0;  // the walk's time in earlier slices
    bool fill_pending_ = false;  // a walk is complete, its fill not done
    int32_t tile_w_ = 1, tile_h_ = 1;
    std::vector<Span> spans_;        // reused by every fill
    std::vector<Point> forecast_;    // the looks foretold, pending
    std::vector<uint32_t> readied_;  // reused by every refine_ready()
    BitSet filled_;                  // the pixels fills gave; empty on one lane
    size_t listed_ = 0;              // pixels listed since the kernel last ran
    size_t forecast_next_ = 0;       // the next look foretold
    float forecast_score_ = 1.0f;    // how often recent forecasts came true
    // When non-zero, a walk also yields after this many horizontal legs per
    // call; lets tests interrupt walks without depending on the clock.
    uint32_t legs_per_call_ = 0;
};

}  // namespace quorvel
