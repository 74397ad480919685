// BoxedGenerator: "box matching", fills rectangles whose border is uniform and
// splits the others.
#pragma once

#include <deque>

#include "base/stopwatch.h"
#include "generators/generator.h"

namespace quorvel {

class BoxedGenerator final : public Generator {
public:
    explicit BoxedGenerator(Fractal& view);
    bool refine(float seconds) override;
    void restart() override;
    double fraction_done() const override;

private:
    friend struct GeneratorProbe;  // unit tests step the queue box by box

    // Queues the edges of the boxes at the front for the batch kernel;
    // returns how many boxes.
    size_t queue_edges();
    // Examines the box at the front of the queue: fill, split or compute.
    void examine_box(MaskedImage& image, const Stopwatch& watch, float seconds);
    // Computes the pixels of a one-pixel-thick box in order; false with the box
    // shrunk to the pixels left when the budget ran out first.
    bool compute_line(Box& box, const Stopwatch& watch, float seconds);

    std::deque<Box> box_queue_;
    uint32_t filled_count_ = 0;
};

}  // namespace quorvel
