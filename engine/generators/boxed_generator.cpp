#include "generators/boxed_generator.h"

#include <algorithm>

#include "base/stopwatch.h"

namespace quorvel {

namespace {

// How far the edges are queued ahead of the examined box: enough pixels to
// keep every lane busy, and a bound on the queue walk.
constexpr size_t kPixelsAhead = 4096;
constexpr size_t kBoxesAhead = 1024;

}  // namespace

BoxedGenerator::BoxedGenerator(Fractal& view) : Generator(view) { restart(); }

void BoxedGenerator::restart() {
    width_ = static_cast<uint32_t>(view_->width());
    height_ = static_cast<uint32_t>(view_->height());
    box_queue_.clear();
    // An empty grid has no root box (its corners would be -1).
    if (width_ > 0 && height_ > 0)
        box_queue_.push_back(
            Box{0, 0, static_cast<int16_t>(width_ - 1), static_cast<int16_t>(height_ - 1)});
    reset_preview();
    filled_count_ = 0;
}

double BoxedGenerator::fraction_done() const {
    const double pixels = static_cast<double>(width_) * height_;
    if (pixels == 0.0) return 0.0;
    // Pixels iterated ahead of a box that was then filled count twice here;
    // progress never passes the whole picture.
    return std::min(1.0, (1.0 - view_->cleverness()) + filled_count_ / pixels);
}

bool BoxedGenerator::refine(float seconds) {
    view_->prepare(true);
    MaskedImage& image = view_->image_for_use();
    Stopwatch watch;
    const Budget budget{&watch, seconds, kernel_steps_};
    bool result = refine_preview(seconds);

    while (!box_queue_.empty() && !budget.time_over()) {
        // The edges of the next boxes go through the batch kernel together;
        // examining them then only reads values. The boxes examined are
        // exactly those whose edges were queued (halves go to the back), and
        // every edge pixel is read: the kernel stores them at once.
        const size_t boxes = queue_edges();
        result = true;
        if (!view_->run_ahead_computed(budget)) break;
        for (size_t k = 0; k < boxes && !box_queue_.empty(); ++k)
            examine_box(image, watch, seconds);
    }
    return result;
}

size_t BoxedGenerator::queue_edges() {
    Fractal& view = *view_;
    size_t pixels = 0, boxes = 0;
    for (const Box& b : box_queue_) {
        view.queue_ahead(b.x0, b.y0, b.x1, b.y0);
        view.queue_ahead(b.x0, b.y1, b.x1, b.y1);
        view.queue_ahead(b.x0, b.y0, b.x0, b.y1);
        view.queue_ahead(b.x1, b.y0, b.x1, b.y1);
        pixels += 2u * (b.x1 - b.x0 + 1) + 2u * (b.y1 - b.y0 + 1);
        if (++boxes == kBoxesAhead || pixels >= kPixelsAhead) break;
    }
    return boxes;
}

void BoxedGenerator::examine_box(MaskedImage& image, const Stopwatch& watch, float seconds) {
    Fractal& view = *view_;
    Box box = box_queue_.front();
    box_queue_.pop_front();
    const int32_t x0 = box.x0, y0 = box.y0, x1 = box.x1, y1 = box.y1;
    const int32_t w = x1 - x0, h = y1 - y0;

    if (w == 0 || h == 0) {
        // Only the root box of a view one pixel wide or high is a single
        // line: compute it pixel by pixel, keeping the rest for a later
        // slice when the budget runs out.
        if (!compute_line(box, watch, seconds)) box_queue_.push_front(box);
        return;
    }
    if (h == 1) {
        for (int32_t x = x0; x <= x1; ++x) {
            view.pixel_value(x, y0);
            view.pixel_value(x, y1);
        }
        return;
    }
    if (w == 1) {
        for (int32_t y = y0; y <= y1; ++y) {
            view.pixel_value(x0, y);
            view.pixel_value(x1, y);
        }
        return;
    }

    const uint32_t v = view.pixel_value(x0, y0);
    bool uniform = true;
    // Neither loop stops at the first difference: the top row and the left
    // column are always computed in full.
    for (int32_t x = x0; x <= x1; ++x) {
        if (view.pixel_value(x, y0) != v || view.pixel_value(x, y1) != v) uniform = false;
    }
    for (int32_t y = y0; y <= y1; ++y) {
        if (view.pixel_value(x0, y) != v || view.pixel_value(x1, y) != v) uniform = false;
    }

    if (uniform) {
        filled_count_ += static_cast<uint32_t>(
            image.fill_interior(box, static_cast<uint8_t>(v), view.pixel_count(x0, y0)));
        return;
    }
    // Halves share the middle line; the second half is examined first.
    if (w > h) {
        const auto xm = static_cast<int16_t>((x0 + x1) / 2);
        box_queue_.push_back(Box{xm, box.y0, box.x1, box.y1});
        box_queue_.push_back(Box{box.x0, box.y0, xm, box.y1});
    } else {
        const auto ym = static_cast<int16_t>((y0 + y1) / 2);
        box_queue_.push_back(Box{box.x0, ym, box.x1, box.y1});
        box_queue_.push_back(Box{box.x0, box.y0, box.x1, ym});
    }
}

bool BoxedGenerator::compute_line(Box& box, const Stopwatch& watch, float seconds) {
    Fractal& view = *view_;
    const bool row = box.y0 == box.y1;
    for (;;) {
        view.pixel_value(box.x0, box.y0);
        if (row) {
            if (box.x0 == box.x1) return true;
            ++box.x0;
        } else {
            if (box.y0 == box.y1) return true;
            ++box.y0;
        }
        if (watch.elapsed() >= seconds) return false;
    }
}

}  // namespace quorvel
