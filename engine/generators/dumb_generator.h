// DumbGenerator: "brute force", every pixel in row-major order.
#pragma once

#include "generators/generator.h"

namespace quorvel {

class DumbGenerator final : public Generator {
public:
    explicit DumbGenerator(Fractal& view);
    bool refine(float seconds) override;
    void restart() override;
    double fraction_done() const override;

private:
    uint32_t row_ = 0;
    uint32_t column_ = 0;
};

}  // namespace quorvel
