// Generator: a time-sliced strategy that decides which pixels of a view are
// iterated, with the coarse preview pass all strategies share.
#pragma once

#include <cstdint>
#include <deque>

#include "storage/box.h"
#include "view/fractal.h"

namespace quorvel {

class Generator {
public:
    explicit Generator(Fractal& view);
    virtual ~Generator() = default;
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    void set_view(Fractal& view);
    // Works for about `seconds`; true if any work was done, false if none was
    // left.
    virtual bool refine(float seconds) = 0;
    // Starts the strategy and the preview over; computed pixels stay.
    virtual void restart() = 0;
    virtual double fraction_done() const = 0;

    void reset_preview();
    void set_preview(bool enabled);
    bool preview_enabled() const { return preview_enabled_; }
    bool preview_done() const { return preview_done_; }

    // Sampling distance of the preview grid, in grid pixels.
    int32_t preview_cell = 8;

protected:
    // The preview pass; false at once when it is off or done.
    bool refine_preview(float seconds);

    Fractal* view_;
    uint32_t width_;
    uint32_t height_;
    // Kernel steps per batch call before it pauses as if the slice had ended;
    // lets tests pause kernels mid-pixel without depending on the clock.
    uint64_t kernel_steps_ = UINT64_MAX;

private:
    friend struct GeneratorProbe;  // unit tests step the queues box by box

    // Queues the samples of the boxes at the front of the preview queue for
    // the batch kernel; returns how many boxes.
    size_t queue_preview_samples(int32_t step);
    // Samples or fills the box at the front of the preview queue.
    void refine_preview_box(MaskedImage& image, int32_t step);

    bool preview_done_ = false;
    bool preview_enabled_ = true;
    std::deque<Box> preview_queue_;
};

}  // namespace quorvel
