#include "generators/contour_tracing_generator.h"

#include <algorithm>

#include "api/stopwatch.h"

namespace quorvel {

namespace {

// A walk yields at this mark of the current refine call, not at the slice end.
constexpr double kWalkCap = 0.6;

}  // namespace

ContourTracingGenerator::ContourTracingGenerator(Fractal& view) : Generator(view) { restart(); }

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
}

double ContourTracingGenerator::fraction_done() const {
    return height_ == 0 ? 0.0 : static_cast<double>(start_y_) / height_;
}

bool ContourTracingGenerator::refine(float seconds) {
    view_->prepare(true);
    Stopwatch watch;
    bool result = refine_preview(seconds);
    Fractal& view = *view_;

    for (;;) {
        if (watch.elapsed() >= seconds) return result;
        if (!tracing_) {
            if (seeds_.empty()) return result;
            result = true;
            SeedRun& s = seeds_.front();
            const uint32_t v = view.pixel_value(s.x, s.y);
            start_x_ = cur_x_ = s.x;
            start_y_ = cur_y_ = s.y;
            if (s.x < s.x_last) {
                ++s.x;
                const int32_t x = start_x_, y = start_y_;
                if (view.pixel_value(x + 1, y) == v || view.pixel_value(x - 1, y) == v ||
                    view.pixel_value(x, y + 1) == v || view.pixel_value(x, y - 1) == v) {
                    tracing_ = true;
                    target_ = v;
                    dir_x_ = -1;
                    dir_y_ = -1;
                }
            } else {
                // The last pixel of a stretch is queried but starts no walk.
                seeds_.pop_front();
            }
            if (!tracing_) continue;
        }
        result = true;
        if (!walk(watch)) {
            // Yielded at the cap: the slice is long over, so stop here rather
            // than spin until `seconds` when that is longer than the cap.
            return result;
        }
        fill();
    }
}

bool ContourTracingGenerator::walk(const Stopwatch& watch) {
    Fractal& view = *view_;
    const uint32_t target = target_;
    int32_t cx = cur_x_, cy = cur_y_, dx = dir_x_, dy = dir_y_;
    const int32_t sx = start_x_, sy = start_y_;
    bool done = false;
    uint32_t legs = 0;

    for (;;) {
        // H0: the cap is tested only at the start of a horizontal leg.
        if (watch.elapsed() >= kWalkCap) break;
        if (legs_per_call_ != 0 && legs++ == legs_per_call_) break;
        // Horizontal leg, H1 to H3.
        for (;;) {
            if (view.pixel_value(cx + dx, cy) != target) {
                contour_points_.push_back({cx, cy});
                dy = -dy;
                goto vertical;
            }
            cx += dx;
            if (cx == sx && cy == sy) {
                done = true;
                goto finish;
            }
            if (view.pixel_value(cx, cy + dy) == target) {
                dx = -dx;
                goto vertical;
            }
        }
    vertical:
        // Vertical leg, V1 to V3.
        for (;;) {
            if (view.pixel_value(cx, cy + dy) != target) {
                dx = -dx;
                break;
            }
            cy += dy;
            if (cx == sx && cy == sy) {
                contour_points_.push_back({cx, cy});
                done = true;
                goto finish;
            }
            if (view.pixel_value(cx + dx, cy) == target) {
                dy = -dy;
                break;
            }
            contour_points_.push_back({cx, cy});
        }
    }
finish:
    cur_x_ = cx;
    cur_y_ = cy;
    dir_x_ = dx;
    dir_y_ = dy;
    if (done) tracing_ = false;
    return done;
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
    view_->image_for_use().fill_spans(spans_.data(), spans_.size(), static_cast<uint8_t>(target_));

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
