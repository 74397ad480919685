// MaskedImage: one value byte and one computed bit per pixel, unpacked for
// work or packed into two compact bit streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/box.h"
#include "storage/zeroed_bytes.h"

namespace quorvel {

class MaskedImage {
public:
    MaskedImage(int32_t width, int32_t height);
    MaskedImage(const MaskedImage&) = default;
    MaskedImage& operator=(const MaskedImage&) = default;

    // Packed images straight from stored streams (current file format).
    static MaskedImage from_packed(int32_t width, int32_t height, std::vector<uint8_t> packed_mask,
                                   std::vector<uint8_t> packed_values);
    // Older stored form: the unpacked mask plus run-length values; ends packed.
    static MaskedImage from_run_length(int32_t width, int32_t height, std::vector<uint8_t> mask,
                                       const uint8_t* run_length, size_t run_length_size);

    void pack();
    void unpack();
    bool is_packed() const { return packed_; }
    uint8_t* values_for_use() {
        unpack();
        return values_.data();
    }
    void clear_mask();
    // Each pixel takes the one (dx, dy) further on, or becomes uncomputed. dx
    // must be a multiple of 8, as view moves keep it, so mask bytes move whole.
    void shift(int32_t dx, int32_t dy);

    void fill_box(Box box, uint8_t value);
    void fill_edges(Box box, uint8_t value);
    int32_t fill_interior(Box box, uint8_t value);
    void fill_spans(const Span* spans, size_t count, uint8_t value);

    uint32_t memory_size() const;

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    int32_t mask_stride() const { return mask_stride_; }
    static int32_t stride_for(int32_t width) { return (width + 63) / 8; }

    // Direct access; unpacked state required.
    uint8_t* mask() { return mask_.data(); }
    uint8_t* values() { return values_.data(); }
    const uint8_t* mask() const { return mask_.data(); }
    const uint8_t* values() const { return values_.data(); }
    bool is_computed(int32_t x, int32_t y) const {
        return (mask_.data()[static_cast<size_t>(y) * mask_stride_ + (x >> 3)] >> (x & 7)) & 1;
    }
    void mark_computed(int32_t x, int32_t y) {
        mask_.data()[static_cast<size_t>(y) * mask_stride_ + (x >> 3)] |= uint8_t(1u << (x & 7));
    }

    // Packed streams; packed state required.
    const std::vector<uint8_t>& packed_mask() const { return packed_mask_; }
    const std::vector<uint8_t>& packed_values() const { return packed_values_; }

private:
    ZeroedBytes mask_;
    ZeroedBytes values_;
    std::vector<uint8_t> packed_mask_;
    std::vector<uint8_t> packed_values_;
    int32_t width_;
    int32_t height_;
    int32_t mask_stride_;
    bool packed_ = false;
};

}  // namespace quorvel
