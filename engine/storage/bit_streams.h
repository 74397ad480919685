// The two bit streams of a packed MaskedImage. The mask stream codes each mask
// byte against the one before it (0: the same, 1 and eight bits: a new byte);
// the value stream holds the computed pixels' values in row-major order as
// differences under the fixed delta code. Uncomputed pixels are not stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel {

// Encodes `count` mask bytes.
std::vector<uint8_t> pack_mask(const uint8_t* mask, size_t count);
// Decodes up to `count` mask bytes into `out`; a short or damaged stream
// leaves the rest as it is.
void unpack_mask(const std::vector<uint8_t>& stream, uint8_t* out, size_t count);

// Encodes the values of the computed pixels of a width x height image whose
// mask rows are `stride` bytes long.
std::vector<uint8_t> pack_values(const uint8_t* values, const uint8_t* mask, int32_t width,
                                 int32_t height, int32_t stride);
// The size in bytes of what pack_values() gives, found without making it.
size_t packed_values_size(const uint8_t* values, const uint8_t* mask, int32_t width, int32_t height,
                          int32_t stride);
// Decodes a value stream into `values` (width x height, zero on entry): each
// computed pixel takes the next value, each other pixel repeats the one before.
void unpack_values(const std::vector<uint8_t>& stream, uint8_t* values, const uint8_t* mask,
                   int32_t width, int32_t height, int32_t stride);
// The same from the older run-length form: 0x40 | (n - 1) and a value is a run
// of n computed pixels, any other byte one computed pixel's value.
void unpack_run_length(const uint8_t* run_length, size_t size, uint8_t* values, const uint8_t* mask,
                       int32_t width, int32_t height, int32_t stride);

// Clears every bit at x >= width (the partial byte's high bits and the spare
// bytes), so a damaged stream cannot mark pixels outside the rows.
void clear_bits_past_width(uint8_t* mask, int32_t width, int32_t height, int32_t stride);

}  // namespace quorvel
