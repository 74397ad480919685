// ColourMapping: how a pixel's full count picks its palette colour.
#pragma once

#include <cmath>
#include <cstdint>

namespace quorvel {

struct ColourMapping {
    double density = 1.0;  // iterations per palette step, positive and finite
    double phase = 0.0;    // palette offset, in [0, 256)
    bool smooth = false;

    bool is_default() const { return density == 1.0 && phase == 0.0 && !smooth; }
    bool operator==(const ColourMapping&) const = default;
};

// The palette index of an escaped count n without smooth colouring:
// ((floor((n - 1) / density + phase)) mod 255) + 1.
inline uint8_t mapped_index(uint32_t n, double density, double phase) {
    const double t = std::floor(static_cast<double>(n - 1) / density + phase);
    if (!(t < 0x1p53)) return 1;  // beyond exact integers (or NaN): one colour
    return static_cast<uint8_t>(static_cast<uint64_t>(t) % 255u + 1u);
}

}  // namespace quorvel
