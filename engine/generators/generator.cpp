#include "generators/generator.h"

#include <algorithm>

#include "base/stopwatch.h"

namespace quorvel {

namespace {

// Boxes whose samples go to the batch kernel together. Each batch waits for
// its slowest sample with lanes idling, so few large batches beat many small
// ones: 512 takes a tenth to a fifth fewer steps than 64 on the whole set.
constexpr size_t kPreviewBoxes = 512;

}  // namespace

Generator::Generator(Fractal& view)
    : view_(&view),
      width_(static_cast<uint32_t>(view.width())),
      height_(static_cast<uint32_t>(view.height())) {
    reset_preview();
}

void Generator::set_view(Fractal& view) {
    view_ = &view;
    restart();
}

void Generator::reset_preview() {
    preview_queue_.clear();
    // The last column and row are never sampled; grids of 2 or less get no box.
    const auto w = static_cast<int16_t>(width_ - 2);
    const auto h = static_cast<int16_t>(height_ - 2);
    if (w > 0 && h > 0) preview_queue_.push_back(Box{0, 0, w, h});
    preview_done_ = false;
}

void Generator::set_preview(bool enabled) {
    if (!preview_done_ && enabled && !preview_enabled_) restart();
    preview_enabled_ = enabled;
}

bool Generator::refine_preview(float seconds) {
    if (!preview_enabled_ || preview_done_) return false;
    Stopwatch watch;
    const Budget budget{&watch, seconds, kernel_steps_};
    MaskedImage& image = view_->image_for_use();
    // A step below 2 would split a two-pixel box into itself forever.
    const int32_t step = std::max<int32_t>(preview_cell, 2);

    while (!preview_queue_.empty() && !budget.time_over()) {
        // All samples of the next boxes go through the batch kernel; a box
        // that stops at its first difference leaves the rest unused aside.
        const size_t boxes = queue_preview_samples(step);
        if (!view_->run_ahead(budget)) break;
        for (size_t k = 0; k < boxes && !preview_queue_.empty(); ++k)
            refine_preview_box(image, step);
    }
    if (preview_queue_.empty()) preview_done_ = true;
    return true;
}

size_t Generator::queue_preview_samples(int32_t step) {
    Fractal& view = *view_;
    size_t samples = 0, boxes = 0;
    for (const Box& b : preview_queue_) {
        view.queue_ahead(b.x0, b.y0, b.x0, b.y0);
        ++samples;
        if (b.y1 - b.y0 >= step || b.x1 - b.x0 >= step) {
            for (int32_t x = b.x0; x <= b.x1; x += step) {
                view.queue_ahead(x, b.y0, x, b.y0);
                view.queue_ahead(x, b.y1, x, b.y1);
                samples += 2;
            }
            for (int32_t y = b.y0; y <= b.y1; y += step) {
                view.queue_ahead(b.x0, y, b.x0, y);
                view.queue_ahead(b.x1, y, b.x1, y);
                samples += 2;
            }
        }
        if (++boxes == kPreviewBoxes || samples >= 4 * kPreviewBoxes) break;
    }
    return boxes;
}

void Generator::refine_preview_box(MaskedImage& image, int32_t step) {
    Fractal& view = *view_;
    const Box box = preview_queue_.front();
    preview_queue_.pop_front();
    const int32_t x0 = box.x0, y0 = box.y0, x1 = box.x1, y1 = box.y1;
    const uint32_t v = view.pixel_value(x0, y0);
    const uint32_t n = view.pixel_count(x0, y0);
    if (y1 - y0 < step && x1 - x0 < step) {
        image.fill_box(box, static_cast<uint8_t>(v), n);
        return;
    }
    bool uniform = true;
    for (int32_t x = x0; x <= x1; x += step) {
        const uint32_t top = view.pixel_value(x, y0);
        const uint32_t bottom = view.pixel_value(x, y1);
        if (top != v || bottom != v) {
            uniform = false;
            break;
        }
    }
    for (int32_t y = y0; y <= y1; y += step) {
        const uint32_t left = view.pixel_value(x0, y);
        const uint32_t right = view.pixel_value(x1, y);
        if (left != v || right != v) {
            uniform = false;
            break;
        }
    }
    if (uniform) {
        image.fill_box(box, static_cast<uint8_t>(v), n);
        return;
    }
    image.fill_edges(box, static_cast<uint8_t>(v), n);
    // Halves share the middle line; the first-named one goes first.
    if (x1 - x0 > y1 - y0) {
        const auto xm = static_cast<int16_t>((x0 + x1) / 2);
        preview_queue_.push_back(Box{box.x0, box.y0, xm, box.y1});
        preview_queue_.push_back(Box{xm, box.y0, box.x1, box.y1});
    } else {
        const auto ym = static_cast<int16_t>((y0 + y1) / 2);
        preview_queue_.push_back(Box{box.x0, box.y0, box.x1, ym});
        preview_queue_.push_back(Box{box.x0, ym, box.x1, box.y1});
    }
}

}  // namespace quorvel
