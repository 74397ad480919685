#include "generators/dumb_generator.h"

#include <algorithm>

#include "base/stopwatch.h"

namespace quorvel {

namespace {

// Pixels handed to the batch kernel at once: enough to keep every lane busy,
// few enough that the budget is looked at often.
constexpr uint32_t kRun = 8192;

}  // namespace

DumbGenerator::DumbGenerator(Fractal& view) : Generator(view) {}

bool DumbGenerator::refine(float seconds) {
    view_->prepare(true);
    if (row_ >= height_ || width_ == 0) return false;
    Stopwatch watch;
    const Budget budget{&watch, seconds, kernel_steps_};
    bool result = refine_preview(seconds);
    Fractal& view = *view_;
    uint32_t column = column_, row = row_;
    view.reserve_ahead(std::min<uint64_t>(kRun, uint64_t(width_) * height_));
    while (!budget.time_over()) {
        // The next kRun pixels in row-major order go through the batch kernel
        // first (long runs keep the lanes full while the run's last, slowest
        // pixels finish); the pixel query below then finds every value ready.
        const uint64_t end =
            std::min<uint64_t>(uint64_t(row) * width_ + column + kRun, uint64_t(width_) * height_);
        const auto last_row = static_cast<uint32_t>((end - 1) / width_);
        const auto last_column = static_cast<uint32_t>((end - 1) % width_);
        for (uint32_t y = row; y <= last_row; ++y)
            view.queue_ahead(y == row ? static_cast<int32_t>(column) : 0, static_cast<int32_t>(y),
                             static_cast<int32_t>(y == last_row ? last_column : width_ - 1),
                             static_cast<int32_t>(y));
        result = true;
        // Every pixel of the run is asked for: the kernel stores them at once.
        if (!view.run_ahead_computed(budget)) break;
        // The query then finds them computed; it still serves pixels another
        // strategy left waiting aside on this view.
        for (;;) {
            view.pixel_value(static_cast<int32_t>(column), static_cast<int32_t>(row));
            const bool run_done = row == last_row && column == last_column;
            if (++column == width_) {
                column = 0;
                ++row;
            }
            if (run_done) break;
        }
        if (row == height_) break;
    }
    column_ = column;
    row_ = row;
    return result;
}

void DumbGenerator::restart() {
    width_ = static_cast<uint32_t>(view_->width());
    height_ = static_cast<uint32_t>(view_->height());
    row_ = 0;
    column_ = 0;
    reset_preview();
}

double DumbGenerator::fraction_done() const {
    return height_ == 0 ? 0.0 : static_cast<double>(row_) / height_;
}

}  // namespace quorvel
