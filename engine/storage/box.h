// Pixel rectangles shared by the storage fills and the generators.
#pragma once

#include <cstdint>

namespace quorvel {

// Inclusive pixel rectangle; 16-bit corners bound a grid to 32768 pixels.
struct Box {
    int16_t x0, y0, x1, y1;
};

// Half-open run of one row: pixels x0 <= x < x1 of row y.
struct Span {
    int32_t x0, x1, y;
};

}  // namespace quorvel
