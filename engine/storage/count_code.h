// The packed form of the full counts: each count as the difference to its left
// neighbour (the pixel above for the first of a row), zigzag-coded in 7-bit
// groups, so that the small differences of neighbouring pixels take a byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel {

std::vector<uint8_t> pack_counts(const uint32_t* counts, int32_t width, int32_t height);
// Decodes into counts (width x height); false, with the rest left 0, when the
// stream is short, too long or damaged.
bool unpack_counts(const std::vector<uint8_t>& stream, uint32_t* counts, int32_t width,
                   int32_t height);

}  // namespace quorvel
