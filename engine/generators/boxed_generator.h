// BoxedGenerator: "box matching", fills rectangles whose border is uniform and
// splits the others.
#pragma once

#include <deque>

#include "generators/generator.h"

namespace quorvel {

class BoxedGenerator final : public Generator {
public:
    explicit BoxedGenerator(Fractal& view);
    bool refine(float seconds) override;
    void restart() override;
    double fraction_done() const override;

private:
    std::deque<Box> box_queue_;
    uint32_t filled_count_ = 0;
};

}  // namespace quorvel
