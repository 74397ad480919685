#include "generators/contour_tracing_generator.h"

#include <algorithm>

#include "base/stopwatch.h"

namespace quorvel {

namespace {

// A walk yields after this much walking, counted across the slices it spans.
constexpr double kWalkCap = 0.6;
// Iterations a missing pixel gets on one lane before it goes to the batch
// kernel with its tile.
constexpr uint32_t kAtOnceSteps = 32;
// Horizontal legs between two looks at the walk's clock.
constexpr uint32_t kLegsPerClock = 16;
// Pixels a walk waits for between two looks at the slice's clock.
constexpr uint32_t kWaitsPerClock = 16;
// Seeds tried between two looks at the slice's clock when no walk ran.
constexpr uint32_t kSeedsPerClock = 16;
// Tiles' worth of listed pixels that stay listed for the batch kernel.
constexpr size_t kTilesKept = 8;
// The coarse grid listed around a pixel the walk waits for: its spacing (a
// power of two) and its reach, in tile widths.
constexpr int32_t kGridStep = 16;
constexpr int32_t kGridTiles = 6;
// The reach of the finest grid listed too when few pixels wait.
constexpr int32_t kNearReach = 4;
// Looks a walk's lookahead may take per pixel it lists, most at known pixels.
constexpr size_t kLooksPerPixelAhead = 8;
// A forecast of the walk comes true when the walk looks where it was foretold
// up to this many pixels not known at the time. The score of recent
// forecasts moves by this weight each time; at or above the trusted level
// the walk's lookahead follows the forecast instead of tiles.
constexpr size_t kForecastGuesses = 16;
constexpr float kForecastWeight = 0.125f;
constexpr float kForecastTrusted = 0.5f;

}  // namespace

ContourTracingGenerator::ContourTracingGenerator(Fractal& view) : Generator(view) { restart(); }

void ContourTracingGenerator::choose_tile() {
    // A walk waits only for the pixel it asks for; the rest of its tile keeps
    // the other lanes busy meanwhile. Tiles of several times the lane count
    // measured best on the seahorse valley and the whole set; on four-lane
    // vectors and eight-lane ones alike, square tiles waste fewest steps
    // where a walk follows the border of the set.
    switch (active_simd_level()) {
        case SimdLevel::scalar:
            tile_w_ = tile_h_ = 1;
            break;
        case SimdLevel::sse2:
            tile_w_ = 8;
            tile_h_ = 4;
            break;
        case SimdLevel::avx2:
            tile_w_ = 8;
            tile_h_ = 8;
            break;
        case SimdLevel::avx512:
            tile_w_ = 12;
            tile_h_ = 12;
            break;
    }
}

void ContourTracingGenerator::restart() {
    width_ = static_cast<uint32_t>(view_->width());
    height_ = static_cast<uint32_t>(view_->height());
    seeds_.clear();
    contour_points_.clear();
    const auto last = static_cast<int32_t>(width_) - 1;
    if (width_ > 0)
        for (int32_t y = 0; y < static_cast<int32_t>(height_); ++y) seeds_.push_back({0, last, y});
    reset_preview();
    tracing_ = false;
    start_y_ = 0;
    step_ = kLegStart;
    walk_seconds_ = 0.0;
    fill_pending_ = false;
    forecast_.clear();
    forecast_score_ = 1.0f;
    listed_ = 0;
    choose_tile();
    const bool lanes = tile_w_ > 1 || tile_h_ > 1;
    filled_.assign(lanes ? static_cast<size_t>(width_) * height_ : 0);
}

double ContourTracingGenerator::fraction_done() const {
    return height_ == 0 ? 0.0 : static_cast<double>(start_y_) / height_;
}

bool ContourTracingGenerator::refine(float seconds) {
    view_->prepare(true);
    // Cells are refined as the kernel makes their pixels ready; pixels are
    // noted only while this generator runs.
    struct NoteReady {
        Fractal& view;
        ~NoteReady() { view.note_ready_ahead(false); }
    } note{*view_};
    view_->note_ready_ahead(!filled_.empty());
    Stopwatch watch;
    const Budget budget{&watch, seconds, kernel_steps_};
    bool result = false;
    if (fill_pending_) {
        // The walk of the last slice ended with it; its fill comes first, as
        // if the slice had not ended.
        fill_pending_ = false;
        fill();
        result = true;
    }
    result = refine_preview(seconds) || result;
    Fractal& view = *view_;
    uint32_t seeds_since_clock = 0;
    for (;;) {
        if (seeds_since_clock-- == 0) {
            if (budget.time_over()) return result;
            seeds_since_clock = kSeedsPerClock - 1;
        }
        if (!tracing_) {
            if (seeds_.empty()) return result;
            result = true;
            SeedRun& s = seeds_.front();
            const int32_t x = s.x, y = s.y;
            // The seed and every neighbour its test may read are made ready
            // first, so that a budget ending here leaves nothing half done.
            const Point wanted[] = {{x, y}, {x + 1, y}, {x - 1, y}, {x, y + 1}, {x, y - 1}};
            if (!make_ready(wanted, s.x < s.x_last ? 5 : 1, budget)) return result;
            const uint32_t v = view.pixel_value(x, y);
            start_x_ = cur_x_ = x;
            start_y_ = cur_y_ = y;
            if (s.x < s.x_last) {
                ++s.x;
                if (view.pixel_value(x + 1, y) == v || view.pixel_value(x - 1, y) == v ||
                    view.pixel_value(x, y + 1) == v || view.pixel_value(x, y - 1) == v) {
                    tracing_ = true;
                    forecast_.clear();
                    target_ = v;
                    target_count_ = view.pixel_count(x, y);
                    dir_x_ = -1;
                    dir_y_ = -1;
                    step_ = kLegStart;
                    walk_seconds_ = 0.0;
                }
            } else {
                // The last pixel of a stretch is queried but starts no walk.
                seeds_.pop_front();
            }
            if (!tracing_) continue;
        }
        result = true;
        // A walk stops at the end of the slice (to go on in the next one) or
        // yields at its cap; either way this slice is over.
        if (!walk(budget)) return result;
        // A walk that ended with the slice leaves its fill to the next one.
        if (budget.time_over()) {
            fill_pending_ = true;
            return result;
        }
        fill();
        seeds_since_clock = 0;
    }
}

bool ContourTracingGenerator::make_ready(const Point* points, int count, const Budget& budget) {
    Fractal& view = *view_;
    bool waiting = false;
    for (int k = 0; k < count; ++k) {
        const Point p = points[k];
        if (view.ahead_ready(p.x, p.y)) continue;
        if (view.ahead_listed(p.x, p.y)) {
            waiting = true;
            continue;
        }
        // Most pixels escape within a few iterations: those are done at once.
        if (view.run_ahead_at_once(p.x, p.y, kAtOnceSteps)) continue;
        waiting = true;
        listed_ += static_cast<size_t>(tile_w_) * static_cast<size_t>(tile_h_);
        // The tile around a costly pixel goes to the batch kernel: the walk
        // will soon ask for most of it. The kernel stops once the pixel is
        // ready; the rest of the tile goes on in later calls.
        view.queue_ahead(p.x - tile_w_ / 2, p.y - tile_h_ / 2, p.x + (tile_w_ - 1) / 2,
                         p.y + (tile_h_ - 1) / 2);
    }
    if (!waiting) return true;
    // Only the pixels listed latest run beside a wanted pixel, and a few
    // tiles' worth stay listed: older ones lie behind the walk, and a short
    // list keeps every call cheap.
    const size_t tile = static_cast<size_t>(tile_w_) * static_cast<size_t>(tile_h_);
    const size_t batch = std::max(tile, listed_);
    listed_ = 0;
    for (int k = 0; k < count; ++k)
        if (!view.run_ahead_for(points[k].x, points[k].y, budget, batch)) return false;
    refine_ready();
    view.keep_recent_ahead(std::max(kTilesKept * tile, listed_));
    return true;
}

bool ContourTracingGenerator::make_walk_ready(const Walker& w, const Budget& budget) {
    Fractal& view = *view_;
    const Point q = looked_at(w);
    if (!view.ahead_listed(q.x, q.y)) {
        // Most pixels escape within a few iterations: those are done at once.
        if (view.run_ahead_at_once(q.x, q.y, kAtOnceSteps)) return true;
        // The lanes get the pixels the walk will likely ask for next: along
        // the walk while its forecasts come true, otherwise those around.
        const bool along = forecast_score_ >= kForecastTrusted;
        queue_walk(w, along);
        if (!along) queue_grid(q);
    }
    const size_t tile = static_cast<size_t>(tile_w_) * static_cast<size_t>(tile_h_);
    const size_t batch = std::max(tile, listed_);
    listed_ = 0;
    if (!view.run_ahead_for(q.x, q.y, budget, batch)) return false;
    refine_ready();
    view.keep_recent_ahead(std::max(kTilesKept * tile, listed_));
    return true;
}

bool ContourTracingGenerator::list_pixel(int32_t x, int32_t y) {
    Fractal& view = *view_;
    if (x < 0 || y < 0 || x >= static_cast<int32_t>(width_) || y >= static_cast<int32_t>(height_))
        return false;
    const size_t i = static_cast<size_t>(y) * width_ + static_cast<size_t>(x);
    if (!filled_.empty() && filled_.test(i)) return false;
    if (!view.list_ahead(x, y)) return false;
    ++listed_;
    return true;
}

void ContourTracingGenerator::queue_grid(Point q) {
    // A tile around q would iterate the inside of the regions it meets, which
    // their fills give for nothing. A coarse grid reaching well beyond the
    // walk comes first; cells between its pixels are halved where their
    // corners differ (refine_cell), down to single pixels, since only there
    // can a border run. A border a uniform cell hides costs a wait when the
    // walk reaches it.
    list_pixel(q.x, q.y);
    if (filled_.empty()) return;
    Fractal& view = *view_;
    const size_t tile = static_cast<size_t>(tile_w_) * static_cast<size_t>(tile_h_);
    if (view.ahead_listed_count() < tile / 2) {
        // Few pixels wait: the walk would wait on the lanes for every level
        // of cells. The finest grid close to q saves it the coarser ones.
        for (int32_t y = (q.y - kNearReach) & ~1; y <= q.y + kNearReach; y += 2)
            for (int32_t x = (q.x - kNearReach) & ~1; x <= q.x + kNearReach; x += 2)
                list_pixel(x, y);
    }
    const int32_t r = kGridTiles * tile_w_;
    const int32_t x0 = (q.x - r) & ~(kGridStep - 1), y0 = (q.y - r) & ~(kGridStep - 1);
    for (int32_t y = y0; y <= q.y + r; y += kGridStep)
        for (int32_t x = x0; x <= q.x + r; x += kGridStep) list_pixel(x, y);
}

void ContourTracingGenerator::refine_ready() {
    if (filled_.empty()) return;
    view_->take_ready_ahead(readied_);
    for (const uint32_t i : readied_) {
        const auto y = static_cast<int32_t>(i / width_);
        const auto x = static_cast<int32_t>(i - static_cast<uint32_t>(y) * width_);
        // A corner of four cells of each size whose grid it lies on.
        for (int32_t h = 1; h < kGridStep; h *= 2) {
            const int32_t s = 2 * h;
            if (((x | y) & (s - 1)) != 0) break;
            refine_cell(x - s, y - s, h);
            refine_cell(x, y - s, h);
            refine_cell(x - s, y, h);
            refine_cell(x, y, h);
        }
    }
}

void ContourTracingGenerator::refine_cell(int32_t x, int32_t y, int32_t h) {
    const Fractal& view = *view_;
    const int32_t s = 2 * h;
    // A cell whose centre lies outside the grid, is known or listed was dealt
    // with.
    if (static_cast<uint32_t>(x + h) >= width_ || static_cast<uint32_t>(y + h) >= height_) return;
    if (view.ahead_ready(x + h, y + h) || view.ahead_listed(x + h, y + h)) return;
    uint32_t a, b, c, d;
    if (!view.peek_ready(x, y, a) || !view.peek_ready(x + s, y, b) ||
        !view.peek_ready(x, y + s, c) || !view.peek_ready(x + s, y + s, d))
        return;
    if (b == a && c == a && d == a) return;
    // The middles of all four sides too: a border entering the cell crosses
    // two of them, and waiting for the centre to tell which costs the walk
    // more than the few that lie inside a region.
    list_pixel(x + h, y);
    list_pixel(x, y + h);
    list_pixel(x + h, y + h);
    list_pixel(x + s, y + h);
    list_pixel(x + h, y + s);
}

void ContourTracingGenerator::queue_walk(Walker w, bool list) {
    // Walks on as if every pixel not known yet were inside the region. Where
    // borders run straight this is the walk's own path, and listing it spares
    // the region's inside, which a tile would iterate and the fill gives for
    // nothing; where they wind, the forecast fails and tiles serve better.
    Fractal& view = *view_;
    const size_t batch = static_cast<size_t>(tile_w_) * static_cast<size_t>(tile_h_);
    const bool forecast = forecast_.empty();
    if (!forecast && !list) return;
    size_t listed = 0, guessed = 0;
    for (size_t looks = 0; looks < kLooksPerPixelAhead * batch; ++looks) {
        if (w.step == kLegStart) w.step = kAcross;
        const Point p = looked_at(w);
        if (forecast && guessed < kForecastGuesses) forecast_.push_back(p);
        bool inside = true;
        if (view.ahead_ready(p.x, p.y)) {
            inside = view.ready_value(p.x, p.y) == target_;
        } else {
            ++guessed;
            if (list && !view.ahead_listed(p.x, p.y)) {
                view.queue_ahead(p.x, p.y, p.x, p.y);
                ++listed;
            }
        }
        if ((listed >= batch || !list) && guessed >= kForecastGuesses) break;
        if (advance<false>(w, inside)) break;
    }
    // The first look is the one being made.
    if (forecast) forecast_next_ = 1;
    if (forecast_next_ >= forecast_.size()) forecast_.clear();
}

void ContourTracingGenerator::check_forecast(Point q) {
    if (forecast_.empty()) return;
    if (forecast_[forecast_next_].x == q.x && forecast_[forecast_next_].y == q.y) {
        if (++forecast_next_ < forecast_.size()) return;
        forecast_score_ += (1.0f - forecast_score_) * kForecastWeight;
    } else {
        forecast_score_ -= forecast_score_ * kForecastWeight;
    }
    forecast_.clear();
}

// The walk's steps stay in its loop, with the walker in registers.
[[gnu::always_inline]] inline ContourTracingGenerator::Point ContourTracingGenerator::looked_at(
    const Walker& w) {
    return w.step == kAcross || w.step == kVerticalAhead ? Point{w.x + w.dx, w.y}
                                                         : Point{w.x, w.y + w.dy};
}

template <bool kRecord>
[[gnu::always_inline]] inline bool ContourTracingGenerator::advance(Walker& w, bool inside) {
    switch (w.step) {
        case kAcross:
            if (!inside) {
                // The row ends here: a border point, and the walk turns to
                // the other vertical side.
                if constexpr (kRecord) contour_points_.push_back({w.x, w.y});
                w.dy = -w.dy;
                w.step = kUpDown;
                return false;
            }
            w.x += w.dx;
            if (w.x == start_x_ && w.y == start_y_) return true;
            w.step = kHorizontalTurn;
            return false;
        case kHorizontalTurn:
            // Inside on the vertical side: the border bends that way, so the
            // walk goes on vertically and will come back the other way.
            if (inside) {
                w.dx = -w.dx;
                w.step = kUpDown;
            } else {
                w.step = kAcross;
            }
            return false;
        case kUpDown:
            if (!inside) {
                // Nothing further up or down: a new leg along the row, back.
                w.dx = -w.dx;
                w.step = kLegStart;
                return false;
            }
            w.y += w.dy;
            if (w.x == start_x_ && w.y == start_y_) {
                if constexpr (kRecord) contour_points_.push_back({w.x, w.y});
                return true;
            }
            w.step = kVerticalAhead;
            return false;
        case kVerticalAhead:
            if (inside) {
                // The region goes on along this row: a leg there, the
                // vertical direction reversed for its end.
                w.dy = -w.dy;
                w.step = kLegStart;
            } else {
                // This row ends at once: the pixel is a border point.
                if constexpr (kRecord) contour_points_.push_back({w.x, w.y});
                w.step = kUpDown;
            }
            return false;
        case kLegStart:
            break;
    }
    return false;
}

bool ContourTracingGenerator::walk(const Budget& budget) {
    Fractal& view = *view_;
    Walker w{cur_x_, cur_y_, dir_x_, dir_y_, step_};
    Stopwatch walk_watch;
    bool closed = false, capped = false;
    uint32_t legs = 0;
    uint32_t legs_since_clock = kLegsPerClock - 1;  // the first leg looks
    uint32_t waits_since_clock = 0;                 // the first waits do not

    // The walk as a machine over the neighbours it looks at, so that it can
    // stop at any look whose pixel the budget left unready and resume there.
    for (;;) {
        if (w.step == kLegStart) {
            // The cap, counted over the walk's slices, is tested only at the
            // start of a horizontal leg, and only every few legs: reading the
            // clock costs more than a leg of ready pixels.
            if (++legs_since_clock == kLegsPerClock) {
                legs_since_clock = 0;
                capped = walk_seconds_ + walk_watch.elapsed() >= kWalkCap;
                if (capped) break;
            }
            if (legs_per_call_ != 0 && legs++ == legs_per_call_) break;
            w.step = kAcross;
        }
        const Point q = looked_at(w);
        check_forecast(q);
        if (!view.ahead_ready(q.x, q.y)) {
            // Pixels that come ready within the kernel's first steps never
            // end the batch, so the walk looks at the slice's clock itself.
            if (++waits_since_clock == kWaitsPerClock) {
                waits_since_clock = 0;
                if (budget.time_over()) break;
            }
            if (!make_walk_ready(w, budget)) break;
        }
        closed = advance<true>(w, view.pixel_value(q.x, q.y) == target_);
        if (closed) break;
    }
    // A paused walk keeps its time; after a yield at the cap the next slices
    // get a cap of their own.
    if (!closed) walk_seconds_ = capped ? 0.0 : walk_seconds_ + walk_watch.elapsed();
    cur_x_ = w.x;
    cur_y_ = w.y;
    dir_x_ = w.dx;
    dir_y_ = w.dy;
    step_ = w.step;
    if (closed) tracing_ = false;
    return closed;
}

void ContourTracingGenerator::mark_filled() {
    const auto w = static_cast<int32_t>(width_), h = static_cast<int32_t>(height_);
    for (const Span& span : spans_) {
        const int32_t x0 = std::max(span.x0, 0), x1 = std::min(span.x1, w);
        if (span.y < 0 || span.y >= h || x0 >= x1) continue;
        const size_t row = static_cast<size_t>(span.y) * width_;
        filled_.set_range(row + static_cast<size_t>(x0), row + static_cast<size_t>(x1));
    }
}

void ContourTracingGenerator::fill() {
    if (contour_points_.empty()) return;
    std::sort(contour_points_.begin(), contour_points_.end(), [](const Point& a, const Point& b) {
        return a.y < b.y || (a.y == b.y && a.x < b.x);
    });

    // Pair the points of each row into spans from the left to the right end.
    spans_.clear();
    const size_t n = contour_points_.size();
    for (size_t k = 0; k < n;) {
        const Point p = contour_points_[k];
        if (k + 1 < n && contour_points_[k + 1].y == p.y) {
            spans_.push_back({p.x, contour_points_[k + 1].x, p.y});
            k += 2;
        } else {
            spans_.push_back({p.x, p.x, p.y});
            k += 1;
        }
    }
    view_->image_for_use().fill_spans(spans_.data(), spans_.size(), static_cast<uint8_t>(target_),
                                      target_count_);
    if (!filled_.empty()) mark_filled();

    // Columns x0..x1 of every span leave the seeds: one merge pass over two
    // sequences ordered by row, then column.
    auto s = seeds_.begin();
    size_t i = 0;
    const size_t span_count = spans_.size();
    while (s != seeds_.end() && i < span_count) {
        const Span& span = spans_[i];
        if (s->y < span.y || (s->y == span.y && s->x_last < span.x0)) {
            ++s;
        } else if (span.y < s->y || (span.y == s->y && span.x1 < s->x)) {
            ++i;
        } else {
            if (span.x0 > s->x) {
                seeds_.insert(s, SeedRun{s->x, span.x0 - 1, s->y});
                s->x = span.x0;
            }
            if (s->x_last <= span.x1) {
                s = seeds_.erase(s);
            } else {
                s->x = span.x1 + 1;
                ++i;
            }
        }
    }
    contour_points_.clear();
}

}  // namespace quorvel
