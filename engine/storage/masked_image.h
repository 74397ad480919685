// MaskedImage: one value byte, one full count and one computed bit per pixel
// (and, once asked for, a smooth fraction), unpacked for work or packed into
// compact streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "storage/box.h"
#include "storage/count_plane.h"
#include "storage/zeroed_bytes.h"

namespace quorvel {

class MaskedImage {
public:
    // Counts start as wide as `largest_count` needs (a byte by default).
    MaskedImage(int32_t width, int32_t height, uint32_t largest_count = 0xFF);
    MaskedImage(const MaskedImage&) = default;
    MaskedImage& operator=(const MaskedImage&) = default;

    // Packed images straight from stored streams (current file format).
    static MaskedImage from_packed(int32_t width, int32_t height, std::vector<uint8_t> packed_mask,
                                   std::vector<uint8_t> packed_values);
    // Older stored form: the unpacked mask plus run-length values; ends packed.
    static MaskedImage from_run_length(int32_t width, int32_t height, std::vector<uint8_t> mask,
                                       const uint8_t* run_length, size_t run_length_size);

    // A packed copy made straight from this image, which stays as it is: the
    // same streams pack() gives, without a second unpacked image on the way.
    MaskedImage packed_copy() const;
    // memory_size() once packed, found without packing.
    uint32_t packed_size() const;
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

    // Fills give each pixel the value byte and the full count of the pixel
    // the fill came from; filled pixels have no fraction.
    void fill_box(Box box, uint8_t value, uint32_t count = 0);
    void fill_edges(Box box, uint8_t value, uint32_t count = 0);
    int32_t fill_interior(Box box, uint8_t value, uint32_t count = 0);
    void fill_spans(const Span* spans, size_t count, uint8_t value, uint32_t full_count = 0);

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
    // The full escape count of each pixel (the limit inside the set, 0 when
    // never computed). Unpacked state required.
    CountPlane& counts() { return counts_; }
    const CountPlane& counts() const { return counts_; }
    // Smooth fractions, coded as 1 + (s - n) in [1, 2), 0 for a pixel without
    // one (storage/fraction_code.h: packed in 16 bits, losslessly for codes
    // on its grid); null until fractions_for_use() first makes them.
    float* fractions() { return reinterpret_cast<float*>(fractions_.data()); }
    const float* fractions() const { return reinterpret_cast<const float*>(fractions_.data()); }
    float* fractions_for_use();
    bool has_fractions() const { return !fractions_.empty() || !packed_fractions_.empty(); }
    // False for an image read from a file that did not keep its counts.
    bool counts_known() const { return counts_known_; }
    bool is_computed(int32_t x, int32_t y) const {
        return (mask_.data()[static_cast<size_t>(y) * mask_stride_ + (x >> 3)] >> (x & 7)) & 1;
    }
    void mark_computed(int32_t x, int32_t y) {
        mask_.data()[static_cast<size_t>(y) * mask_stride_ + (x >> 3)] |= uint8_t(1u << (x & 7));
    }

    // Packed streams; packed state required.
    const std::vector<uint8_t>& packed_mask() const { return packed_mask_; }
    const std::vector<uint8_t>& packed_values() const { return packed_values_; }
    const std::vector<uint8_t>& packed_counts() const { return packed_counts_; }
    const std::vector<uint8_t>& packed_fractions() const { return packed_fractions_; }
    // Stored counts and fractions (pack_fractions) for a packed image from a
    // file; streams that do not fit the size are dropped at unpacking.
    void set_packed_counts(std::vector<uint8_t> counts, std::vector<uint8_t> fractions) {
        packed_counts_ = std::move(counts);
        packed_fractions_ = std::move(fractions);
        counts_known_ = true;
    }

private:
    ZeroedBytes mask_;
    ZeroedBytes values_;
    CountPlane counts_;
    ZeroedBytes fractions_;  // float per pixel, or empty
    std::vector<uint8_t> packed_mask_;
    std::vector<uint8_t> packed_values_;
    std::vector<uint8_t> packed_counts_;
    std::vector<uint8_t> packed_fractions_;  // 16 bits a pixel, or empty
    int32_t width_;
    int32_t height_;
    int32_t mask_stride_;
    bool packed_ = false;
    bool counts_known_ = true;
};

}  // namespace quorvel
