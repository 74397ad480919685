// Smooth fractions on a grid of 2^16 - 1 steps, so that a fraction packs into
// 16 bits and comes back bit for bit. In memory a fraction is its code
// 1 + (s - n), in [1, 2), and 0 for a pixel without one; packed it is 0, or
// 1 + k for the code 1 + k / 65535, k from 0 to 65534.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel {

constexpr uint32_t kFractionSteps = 65535;

// The code of the grid step k.
inline float fraction_code_of_step(uint32_t k) {
    return static_cast<float>(1.0 + static_cast<double>(k) / kFractionSteps);
}

// The code of a fraction f = s - n, rounded to the grid and kept below 2.
inline float fraction_code(double f) {
    const double k = std::nearbyint(f * kFractionSteps);
    return fraction_code_of_step(k > 0.0 ? static_cast<uint32_t>(std::fmin(k, kFractionSteps - 1.0))
                                         : 0u);
}

// The 16 bits of a code: 0 for none, otherwise 1 + the nearest grid step.
inline uint16_t fraction_bits(float code) {
    if (!(code >= 1.0f)) return 0;
    const double k = std::nearbyint((static_cast<double>(code) - 1.0) * kFractionSteps);
    return static_cast<uint16_t>(1 + std::fmin(k, kFractionSteps - 1.0));
}

inline float fraction_from_bits(uint16_t bits) {
    return bits == 0 ? 0.0f : fraction_code_of_step(bits - 1u);
}

// `pixels` codes as 16-bit little-endian words.
std::vector<uint8_t> pack_fractions(const float* codes, size_t pixels);
// Decodes into codes (`pixels` of them); false, leaving them, when the stream
// does not hold exactly that many.
bool unpack_fractions(const std::vector<uint8_t>& stream, float* codes, size_t pixels);

}  // namespace quorvel
