// The packed form of the full counts: each count as the difference to its left
// neighbour (the pixel above for the first of a row), zigzag-coded in 7-bit
// groups, so that the small differences of neighbouring pixels take a byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/count_plane.h"

namespace quorvel {

std::vector<uint8_t> pack_counts(const uint32_t* counts, int32_t width, int32_t height);
std::vector<uint8_t> pack_counts(const CountPlane& counts, int32_t width, int32_t height);
// The size in bytes of what pack_counts() gives, found without making it.
size_t packed_counts_size(const CountPlane& counts, int32_t width, int32_t height);
// Decodes into a plane of width x height counts, widened as they need; false,
// with all counts 0, when the stream is short, too long or damaged.
bool unpack_counts(const std::vector<uint8_t>& stream, CountPlane& counts, int32_t width,
                   int32_t height);
// True when the stream decodes to exactly width x height counts.
bool counts_decode(const uint8_t* stream, size_t size, int32_t width, int32_t height);

}  // namespace quorvel
