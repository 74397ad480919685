#include "generators/dumb_generator.h"

#include <algorithm>

#include "api/stopwatch.h"

namespace quorvel {

namespace {

// Pixels handed to the batch kernel at once: enough to keep every lane busy,
// few enough that the budget is looked at often.
constexpr uint32_t kRun = 1024;

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
    while (!budget.time_over()) {
        // A run of the current row goes through the batch kernel first; the
        // pixel query below then finds every value ready.
        const uint32_t last = std::min(width_ - 1, column + kRun - 1);
        view.queue_ahead(static_cast<int32_t>(column), static_cast<int32_t>(row),
                         static_cast<int32_t>(last), static_cast<int32_t>(row));
        result = true;
        if (!view.run_ahead(budget)) break;
        for (; column <= last; ++column)
            view.pixel_value(static_cast<int32_t>(column), static_cast<int32_t>(row));
        if (column == width_) {
            column = 0;
            if (++row == height_) break;
        }
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
