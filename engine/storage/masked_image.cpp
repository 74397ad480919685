#include "storage/masked_image.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

#include "storage/bit_streams.h"
#include "storage/count_code.h"
#include "storage/fraction_code.h"

namespace quorvel {

MaskedImage::MaskedImage(int32_t width, int32_t height, uint32_t largest_count)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      mask_stride_(stride_for(std::max(width, 0))) {
    mask_ = ZeroedBytes(static_cast<size_t>(mask_stride_) * height_);
    values_ = ZeroedBytes(static_cast<size_t>(width_) * height_);
    counts_ = CountPlane(static_cast<size_t>(width_) * height_, largest_count);
}

MaskedImage MaskedImage::from_packed(int32_t width, int32_t height,
                                     std::vector<uint8_t> packed_mask,
                                     std::vector<uint8_t> packed_values) {
    MaskedImage img(0, 0);
    img.width_ = std::max(width, 0);
    img.height_ = std::max(height, 0);
    img.mask_stride_ = stride_for(img.width_);
    img.packed_mask_ = std::move(packed_mask);
    img.packed_values_ = std::move(packed_values);
    img.packed_ = true;
    img.counts_known_ = false;
    return img;
}

MaskedImage MaskedImage::from_run_length(int32_t width, int32_t height, std::vector<uint8_t> mask,
                                         const uint8_t* run_length, size_t run_length_size) {
    MaskedImage img(0, 0);
    img.width_ = std::max(width, 0);
    img.height_ = std::max(height, 0);
    img.mask_stride_ = stride_for(img.width_);
    // A stored mask of the wrong length is cut or padded with zeros.
    img.mask_ = ZeroedBytes(static_cast<size_t>(img.mask_stride_) * img.height_);
    if (!mask.empty() && !img.mask_.empty())
        std::memcpy(img.mask_.data(), mask.data(), std::min(mask.size(), img.mask_.size()));
    clear_bits_past_width(img.mask_.data(), img.width_, img.height_, img.mask_stride_);
    img.values_ = ZeroedBytes(static_cast<size_t>(img.width_) * img.height_);
    img.counts_ = CountPlane(static_cast<size_t>(img.width_) * img.height_);
    unpack_run_length(run_length, run_length_size, img.values_.data(), img.mask_.data(), img.width_,
                      img.height_, img.mask_stride_);
    img.pack();
    img.counts_known_ = false;
    return img;
}

MaskedImage MaskedImage::packed_copy() const {
    if (packed_) return *this;
    MaskedImage img(0, 0);
    img.width_ = width_;
    img.height_ = height_;
    img.mask_stride_ = mask_stride_;
    img.counts_known_ = counts_known_;
    img.packed_values_ = pack_values(values_.data(), mask_.data(), width_, height_, mask_stride_);
    img.packed_mask_ = pack_mask(mask_.data(), mask_.size());
    img.packed_counts_ = pack_counts(counts_, width_, height_);
    if (!fractions_.empty())
        img.packed_fractions_ = pack_fractions(fractions(), static_cast<size_t>(width_) * height_);
    img.packed_ = true;
    return img;
}

void MaskedImage::pack() {
    if (packed_) return;
    packed_values_ = pack_values(values_.data(), mask_.data(), width_, height_, mask_stride_);
    packed_mask_ = pack_mask(mask_.data(), mask_.size());
    packed_counts_ = pack_counts(counts_, width_, height_);
    if (!fractions_.empty())
        packed_fractions_ = pack_fractions(fractions(), static_cast<size_t>(width_) * height_);
    mask_.reset();
    values_.reset();
    counts_.reset();
    fractions_.reset();
    packed_ = true;
}

float* MaskedImage::fractions_for_use() {
    unpack();
    if (fractions_.empty())
        fractions_ = ZeroedBytes(static_cast<size_t>(width_) * height_ * sizeof(float));
    return fractions();
}

void MaskedImage::unpack() {
    if (!packed_) return;
    values_ = ZeroedBytes(static_cast<size_t>(width_) * height_);
    mask_ = ZeroedBytes(static_cast<size_t>(mask_stride_) * height_);
    unpack_mask(packed_mask_, mask_.data(), mask_.size());
    clear_bits_past_width(mask_.data(), width_, height_, mask_stride_);
    unpack_values(packed_values_, values_.data(), mask_.data(), width_, height_, mask_stride_);
    const size_t pixels = static_cast<size_t>(width_) * height_;
    counts_ = CountPlane(pixels);
    if (!packed_counts_.empty()) unpack_counts(packed_counts_, counts_, width_, height_);
    if (!packed_fractions_.empty()) {
        fractions_ = ZeroedBytes(pixels * sizeof(float));
        if (!unpack_fractions(packed_fractions_, fractions(), pixels)) fractions_.reset();
    }
    std::vector<uint8_t>().swap(packed_mask_);
    std::vector<uint8_t>().swap(packed_values_);
    std::vector<uint8_t>().swap(packed_counts_);
    std::vector<uint8_t>().swap(packed_fractions_);
    packed_ = false;
}

void MaskedImage::clear_mask() {
    unpack();
    std::memset(mask_.data(), 0, mask_.size());
    // Fractions belong to computed pixels only.
    if (!fractions_.empty()) std::memset(fractions_.data(), 0, fractions_.size());
}

namespace {

// Moves one per-pixel plane of `size`-byte elements as shift() describes.
void shift_plane(uint8_t* data, size_t size, int32_t w, int32_t h, int32_t dx, int32_t dy) {
    const size_t row = static_cast<size_t>(w) * size;
    if (dy > 0) {
        const size_t keep = static_cast<size_t>(h - dy);
        std::memmove(data, data + static_cast<size_t>(dy) * row, keep * row);
        std::memset(data + keep * row, 0, static_cast<size_t>(dy) * row);
    } else if (dy < 0) {
        const size_t k = static_cast<size_t>(-dy);
        const size_t keep = static_cast<size_t>(h) - k;
        std::memmove(data + k * row, data, keep * row);
        std::memset(data, 0, k * row);
    }
    if (dx == 0) return;
    const int32_t live_begin = dy < 0 ? -dy : 0;
    const int32_t live_end = dy > 0 ? h - dy : h;
    const size_t k = static_cast<size_t>(dx > 0 ? dx : -dx) * size;
    for (int32_t y = live_begin; y < live_end; ++y) {
        uint8_t* r = data + static_cast<size_t>(y) * row;
        if (dx > 0) {
            std::memmove(r, r + k, row - k);
            std::memset(r + row - k, 0, k);
        } else {
            std::memmove(r + k, r, row - k);
            std::memset(r, 0, k);
        }
    }
}

}  // namespace

void MaskedImage::shift(int32_t dx, int32_t dy) {
    if (dx == 0 && dy == 0) return;
    unpack();
    const int32_t w = width_;
    const int32_t h = height_;
    const size_t stride = static_cast<size_t>(mask_stride_);
    uint8_t* mask = mask_.data();
    // Nothing stays in view: the caller's bounds were broken, but the meaning
    // is plain.
    if (dx <= -w || dx >= w || dy <= -h || dy >= h) {
        std::memset(mask, 0, mask_.size());
        std::memset(values_.data(), 0, values_.size());
        std::memset(counts_.bytes(), 0, counts_.byte_size());
        if (!fractions_.empty()) std::memset(fractions_.data(), 0, fractions_.size());
        return;
    }
    shift_plane(values_.data(), 1, w, h, dx, dy);
    shift_plane(counts_.bytes(), counts_.width(), w, h, dx, dy);
    if (!fractions_.empty()) shift_plane(fractions_.data(), sizeof(float), w, h, dx, dy);

    // Rows that keep content after the row move; the others are already 0.
    int32_t live_begin = 0;
    int32_t live_end = h;
    if (dy > 0) {
        const size_t keep = static_cast<size_t>(h - dy);
        std::memmove(mask, mask + dy * stride, keep * stride);
        std::memset(mask + keep * stride, 0, dy * stride);
        live_end = h - dy;
    } else if (dy < 0) {
        const int32_t k = -dy;
        const size_t keep = static_cast<size_t>(h - k);
        std::memmove(mask + k * stride, mask, keep * stride);
        std::memset(mask, 0, k * stride);
        live_begin = k;
    }
    if (dx == 0) return;

    if (dx > 0) {
        const int32_t k = dx;
        const size_t kb = static_cast<size_t>(k / 8);
        const size_t clear_from = static_cast<size_t>((w - k) / 8);
        for (int32_t y = live_begin; y < live_end; ++y) {
            uint8_t* mrow = mask + y * stride;
            std::memmove(mrow, mrow + kb, stride - kb);
            // Also drops the moved pixels that share a byte with column w - k.
            std::memset(mrow + clear_from, 0, stride - clear_from);
        }
    } else {
        const int32_t k = -dx;
        const size_t kb = static_cast<size_t>(k / 8);
        const int32_t full = w >> 3;
        const int32_t rem = w & 7;
        const size_t start = static_cast<size_t>(full + (rem ? 1 : 0));
        for (int32_t y = live_begin; y < live_end; ++y) {
            uint8_t* mrow = mask + y * stride;
            std::memmove(mrow + kb, mrow, stride - kb);
            std::memset(mrow, 0, kb);
            if (rem) mrow[full] &= uint8_t((1u << rem) - 1);
            std::memset(mrow + start, 0, stride - start);
        }
    }
}

namespace {

// Calls run(a, b) for each stretch a <= x < b of whole mask bytes and
// pixel(x) for each other pixel x0 <= x < x1 of one row whose bit is clear.
// Spans of contour fills are short, so their ragged ends go by the clear
// bits of a byte rather than by every pixel.
template <class Run, class Pixel>
inline void for_each_uncomputed(const uint8_t* mrow, int32_t x0, int32_t x1, Run&& run,
                                Pixel&& pixel) {
    int32_t x = x0;
    while (x < x1) {
        const int32_t base = x & ~7;
        unsigned wanted = (0xFFu << (x - base)) & 0xFFu;
        if (x1 - base < 8) wanted &= (1u << (x1 - base)) - 1;
        unsigned clear = ~unsigned{mrow[base >> 3]} & wanted;
        if (clear == 0xFFu) {
            int32_t end = base + 8;
            while (end + 8 <= x1 && mrow[end >> 3] == 0) end += 8;
            run(base, end);
            x = end;
            continue;
        }
        for (; clear != 0; clear &= clear - 1) pixel(base + std::countr_zero(clear));
        x = base + 8;
    }
}

// value := byte and counts := count for the pixels x0 <= x < x1 of one row
// whose bit is clear. Count is the plane's element type, wide enough.
template <class Count>
inline void fill_row_uncomputed(uint8_t* row, Count* crow, const uint8_t* mrow, int32_t x0,
                                int32_t x1, uint8_t value, uint32_t full_count) {
    const auto count = static_cast<Count>(full_count);
    for_each_uncomputed(
        mrow, x0, x1,
        [&](int32_t a, int32_t b) {
            std::memset(row + a, value, static_cast<size_t>(b - a));
            std::fill(crow + a, crow + b, count);
        },
        [&](int32_t i) { row[i] = value, crow[i] = count; });
}

// counts := count for the pixels x0 <= x < x1 of one row whose bit is clear:
// a computed pixel keeps the count of its own orbit.
template <class Count>
inline void fill_counts_uncomputed(Count* crow, const uint8_t* mrow, int32_t x0, int32_t x1,
                                   uint32_t full_count) {
    const auto count = static_cast<Count>(full_count);
    for_each_uncomputed(
        mrow, x0, x1, [&](int32_t a, int32_t b) { std::fill(crow + a, crow + b, count); },
        [&](int32_t i) { crow[i] = count; });
}

}  // namespace

void MaskedImage::fill_box(Box box, uint8_t value, uint32_t count) {
    unpack();
    const int32_t x0 = std::max<int32_t>(box.x0, 0);
    const int32_t x1 = std::min<int32_t>(box.x1, width_ - 1);
    const int32_t y0 = std::max<int32_t>(box.y0, 0);
    const int32_t y1 = std::min<int32_t>(box.y1, height_ - 1);
    if (x0 > x1) return;
    counts_.fit(count);
    counts_.visit([&](auto* counts) {
        for (int32_t y = y0; y <= y1; ++y)
            fill_row_uncomputed(values_.data() + static_cast<size_t>(y) * width_,
                                counts + static_cast<size_t>(y) * width_,
                                mask_.data() + static_cast<size_t>(y) * mask_stride_, x0, x1 + 1,
                                value, count);
    });
}

void MaskedImage::fill_edges(Box box, uint8_t value, uint32_t count) {
    unpack();
    const int32_t x0 = std::max<int32_t>(box.x0, 0);
    const int32_t x1 = std::min<int32_t>(box.x1, width_ - 1);
    uint8_t* values = values_.data();
    const uint8_t* mask = mask_.data();
    counts_.fit(count);
    counts_.visit([&](auto* counts) {
        auto row_edge = [&](int32_t y) {
            if (y < 0 || y >= height_ || x0 > x1) return;
            fill_row_uncomputed(
                values + static_cast<size_t>(y) * width_, counts + static_cast<size_t>(y) * width_,
                mask + static_cast<size_t>(y) * mask_stride_, x0, x1 + 1, value, count);
        };
        row_edge(box.y0);
        if (box.y1 != box.y0) row_edge(box.y1);

        const int32_t y0 = std::max<int32_t>(box.y0 + 1, 0);
        const int32_t y1 = std::min<int32_t>(box.y1 - 1, height_ - 1);
        using Count = std::remove_pointer_t<decltype(counts)>;
        auto column_edge = [&](int32_t x) {
            if (x < 0 || x >= width_) return;
            for (int32_t y = y0; y <= y1; ++y) {
                if (!((mask[static_cast<size_t>(y) * mask_stride_ + (x >> 3)] >> (x & 7)) & 1)) {
                    values[static_cast<size_t>(y) * width_ + x] = value;
                    counts[static_cast<size_t>(y) * width_ + x] = static_cast<Count>(count);
                }
            }
        };
        column_edge(box.x0);
        if (box.x1 != box.x0) column_edge(box.x1);
    });
}

int32_t MaskedImage::fill_interior(Box box, uint8_t value, uint32_t count) {
    unpack();
    const int32_t x0 = std::max<int32_t>(box.x0 + 1, 0);
    const int32_t x1 = std::min<int32_t>(box.x1 - 1, width_ - 1);
    const int32_t y0 = std::max<int32_t>(box.y0 + 1, 0);
    const int32_t y1 = std::min<int32_t>(box.y1 - 1, height_ - 1);
    if (x0 > x1 || y0 > y1) return 0;
    const size_t run = static_cast<size_t>(x1 - x0 + 1);
    counts_.fit(count);
    counts_.visit([&](auto* counts) {
        for (int32_t y = y0; y <= y1; ++y) {
            const size_t row = static_cast<size_t>(y) * width_;
            std::memset(values_.data() + row + x0, value, run);
            fill_counts_uncomputed(counts + row,
                                   mask_.data() + static_cast<size_t>(y) * mask_stride_, x0, x1 + 1,
                                   count);
        }
    });
    return (x1 - x0 + 1) * (y1 - y0 + 1);
}

void MaskedImage::fill_spans(const Span* spans, size_t count, uint8_t value, uint32_t full_count) {
    unpack();
    uint8_t* values = values_.data();
    counts_.fit(full_count);
    counts_.visit([&](auto* counts) {
        for (size_t i = 0; i < count; ++i) {
            const Span& s = spans[i];
            if (s.y < 0 || s.y >= height_) continue;
            const int32_t x0 = std::max(s.x0, 0);
            const int32_t x1 = std::min(s.x1, width_);
            if (x0 < x1) {
                const size_t row = static_cast<size_t>(s.y) * width_;
                std::memset(values + row + x0, value, static_cast<size_t>(x1 - x0));
                fill_counts_uncomputed(counts + row,
                                       mask_.data() + static_cast<size_t>(s.y) * mask_stride_, x0,
                                       x1, full_count);
            }
        }
    });
}

uint32_t MaskedImage::packed_size() const {
    if (packed_) return memory_size();
    uint64_t size = 36 + static_cast<uint64_t>(mask_stride_) * height_;
    size += packed_values_size(values_.data(), mask_.data(), width_, height_, mask_stride_);
    size += packed_counts_size(counts_, width_, height_);
    if (!fractions_.empty()) size += 2 * static_cast<uint64_t>(width_) * height_;
    return static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFFu));
}

uint32_t MaskedImage::memory_size() const {
    // The mask is charged at its unpacked size in both states; the packed
    // mask is not charged.
    uint64_t size = 36 + static_cast<uint64_t>(mask_stride_) * height_;
    if (packed_)
        size += packed_values_.size() + packed_counts_.size() + packed_fractions_.size();
    else
        size += static_cast<uint64_t>(width_) * height_ + counts_.byte_size() + fractions_.size();
    return static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFFu));
}

}  // namespace quorvel
