#include "generators/dumb_generator.h"

#include "api/stopwatch.h"

namespace quorvel {

DumbGenerator::DumbGenerator(Fractal& view) : Generator(view) {}

bool DumbGenerator::refine(float seconds) {
    view_->prepare(true);
    if (row_ >= height_ || width_ == 0) return false;
    Stopwatch watch;
    bool result = refine_preview(seconds);
    Fractal& view = *view_;
    uint32_t column = column_, row = row_;
    while (watch.elapsed() < seconds) {
        view.pixel_value(static_cast<int32_t>(column), static_cast<int32_t>(row));
        result = true;
        if (++column == width_) {
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
