#include "storage/masked_image.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "storage/delta_code.h"

namespace quorvel {
namespace {

// Streams are little-endian whatever the host.
inline uint32_t load32(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    } else {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
}

inline void store32(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 4);
    } else {
        for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
    }
}

inline uint64_t load64(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    } else {
        return uint64_t(load32(p)) | uint64_t(load32(p + 4)) << 32;
    }
}

inline void store64(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 8);
    } else {
        store32(p, uint32_t(v));
        store32(p + 4, uint32_t(v >> 32));
    }
}

inline uint64_t load64_raw(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Set bits of a word; plain shifts and masks, since the build does not assume
// a population-count instruction.
inline unsigned bit_count(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return unsigned((x * 0x0101010101010101ull) >> 56);
}

// Clears every bit at x >= width (the partial byte's high bits and the spare
// bytes), so a damaged stream cannot mark pixels outside the rows.
void clear_bits_past_width(uint8_t* mask, int32_t width, int32_t height, int32_t stride) {
    const int32_t full = width >> 3;
    const int32_t rem = width & 7;
    const int32_t start = full + (rem ? 1 : 0);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = mask + static_cast<size_t>(y) * stride;
        if (rem) row[full] &= uint8_t((1u << rem) - 1);
        std::memset(row + start, 0, static_cast<size_t>(stride - start));
    }
}

// Calls emit(value) for every computed pixel in row-major order. Bits past the
// width are ignored, so no value outside the row is ever read.
template <class Emit>
void for_each_computed(const uint8_t* values, const uint8_t* mask, int32_t width, int32_t height,
                       int32_t stride, Emit&& emit) {
    const int32_t full = width >> 3;
    const int32_t rem = width & 7;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = values + static_cast<size_t>(y) * width;
        const uint8_t* mrow = mask + static_cast<size_t>(y) * stride;
        for (int32_t j = 0; j <= full; ++j) {
            unsigned m = mrow[j];
            if (j == full) {
                if (!rem) break;
                m &= (1u << rem) - 1;
            }
            if (m == 0) continue;
            const uint8_t* p = row + 8 * j;
            if (m == 0xFF) {
                for (int i = 0; i < 8; ++i) emit(p[i]);
                continue;
            }
            while (m) {
                emit(p[std::countr_zero(m)]);
                m &= m - 1;
            }
        }
    }
}

// Walks the pixels in row-major order: each computed pixel takes the next
// value from `next` (which returns false when its source is used up), each
// uncomputed pixel repeats the value before it. Once the source is used up
// the rest stays as it is (zero in a fresh array).
template <class Source>
void fill_forward(uint8_t* values, const uint8_t* mask, int32_t width, int32_t height,
                  int32_t stride, Source& next) {
    const int32_t full = width >> 3;
    const int32_t rem = width & 7;
    uint8_t v = 0;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = values + static_cast<size_t>(y) * width;
        const uint8_t* mrow = mask + static_cast<size_t>(y) * stride;
        for (int32_t j = 0; j < full; ++j) {
            const unsigned m = mrow[j];
            uint8_t* p = row + 8 * j;
            if (m == 0) {
                std::memset(p, v, 8);
                continue;
            }
            if (m == 0xFF) {
                if (next.take8(v, p)) continue;
                for (int i = 0; i < 8; ++i) {
                    if (!next(v)) return;
                    p[i] = v;
                }
                continue;
            }
            for (int i = 0; i < 8; ++i) {
                if (((m >> i) & 1) && !next(v)) return;
                p[i] = v;
            }
        }
        if (rem) {
            const unsigned m = mrow[full];
            uint8_t* p = row + 8 * full;
            for (int i = 0; i < rem; ++i) {
                if (((m >> i) & 1) && !next(v)) return;
                p[i] = v;
            }
        }
    }
}

// Differences of computed values, decoded from a packed stream. A code may
// start at any byte up to the last loadable one (size - 4); a stream shorter
// than its tail has no such byte and yields nothing.
struct DeltaSource {
    const uint8_t* data;
    int64_t last;
    uint64_t bit = 0;
    const DeltaDecodeEntry* table = delta_decode_table();

    bool operator()(uint8_t& v) {
        const uint64_t pos = bit >> 3;
        if (static_cast<int64_t>(pos) > last) return false;
        const uint32_t window = load32(data + pos) >> (bit & 7);
        const DeltaDecodeEntry e = table[window & ((1u << kDeltaMaxLength) - 1)];
        bit += e.length;
        v = uint8_t(v + e.symbol);
        return true;
    }

    // Eight codes at once, far from the end of the stream: two 64-bit
    // windows of at least 57 bits each hold five and three codes.
    bool take8(uint8_t& v, uint8_t* out) {
        const uint64_t pos = bit >> 3;
        if (static_cast<int64_t>(pos) + 24 > last + 4) return false;
        constexpr uint32_t kIndex = (1u << kDeltaMaxLength) - 1;
        uint64_t window = load64(data + pos) >> (bit & 7);
        uint8_t value = v;
        for (int i = 0; i < 5; ++i) {
            const DeltaDecodeEntry e = table[window & kIndex];
            window >>= e.length;
            bit += e.length;
            value = uint8_t(value + e.symbol);
            out[i] = value;
        }
        window = load64(data + (bit >> 3)) >> (bit & 7);
        for (int i = 5; i < 8; ++i) {
            const DeltaDecodeEntry e = table[window & kIndex];
            window >>= e.length;
            bit += e.length;
            value = uint8_t(value + e.symbol);
            out[i] = value;
        }
        v = value;
        return true;
    }
};

// Values of the older stored form: 0x40 | (n - 1) followed by a value is a run
// of n computed pixels, any other byte is one computed pixel's value.
struct RunLengthSource {
    const uint8_t* p;
    const uint8_t* end;
    unsigned left = 0;
    uint8_t value = 0;

    bool operator()(uint8_t& v) {
        if (left) {
            --left;
            v = value;
            return true;
        }
        if (p == end) return false;
        const uint8_t b = *p++;
        if ((b & 0xE0) == 0x40) {
            if (p == end) return false;
            value = *p++;
            left = b & 0x1Fu;
            v = value;
            return true;
        }
        v = b;
        return true;
    }

    bool take8(uint8_t&, uint8_t*) { return false; }
};

std::vector<uint8_t> pack_values(const uint8_t* values, const uint8_t* mask, int32_t width,
                                 int32_t height, int32_t stride) {
    // Bits past the width may be counted too; this is only a bound.
    const size_t mask_bytes = static_cast<size_t>(stride) * height;
    size_t computed = 0;
    size_t i = 0;
    for (; i + 8 <= mask_bytes; i += 8) computed += bit_count(load64_raw(mask + i));
    for (; i < mask_bytes; ++i) computed += bit_count(mask[i]);

    uint32_t enc[256];
    const DeltaCodeEntry* code = delta_code();
    for (int d = 0; d < 256; ++d) enc[d] = code[d].code | uint32_t(code[d].length) << 16;

    // At most 10 bits a pixel, plus room for the 8-byte stores. Every byte
    // up to the last store is written, so the scratch needs no clearing.
    const size_t capacity = computed * kDeltaMaxLength / 8 + 16;
    const auto scratch = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    uint8_t* const base = scratch.get();
    uint8_t* dst = base;
    uint64_t acc = 0;  // bits not yet past a whole byte, least significant first
    unsigned pending = 0;
    uint8_t prev = 0;
    for_each_computed(values, mask, width, height, stride, [&](uint8_t v) {
        const uint32_t e = enc[uint8_t(v - prev)];
        prev = v;
        acc |= uint64_t(e & 0xFFFF) << pending;
        pending += e >> 16;
        // Store without branching; only whole bytes advance.
        store64(dst, acc);
        const unsigned bytes = pending >> 3;
        dst += bytes;
        acc >>= bytes * 8;
        pending &= 7;
    });
    const size_t bits = static_cast<size_t>(dst - base) * 8 + pending;
    store64(dst, acc);
    // The bits, then zero bytes up to a 4-byte tail past the last bit's byte.
    return std::vector<uint8_t>(base, base + bits / 8 + 4);
}

std::vector<uint8_t> pack_mask(const uint8_t* mask, size_t count) {
    // At most 9 bits a byte; repeat bits are zeros, so they only advance.
    std::vector<uint8_t> out(count * 9 / 8 + 16);
    uint8_t* base = out.data();
    size_t bit = 0;
    uint8_t prev = 0;
    size_t i = 0;
    while (i < count) {
        if (i + 8 <= count && load64_raw(mask + i) == prev * 0x0101010101010101ull) {
            bit += 8;
            i += 8;
            continue;
        }
        const uint8_t b = mask[i++];
        if (b == prev) {
            ++bit;
            continue;
        }
        uint8_t* p = base + (bit >> 3);
        store32(p, load32(p) | ((uint32_t(b) << 1 | 1u) << (bit & 7)));
        bit += 9;
        prev = b;
    }
    out.resize(bit / 8 + 4);
    out.shrink_to_fit();
    return out;
}

// Decodes up to `count` mask bytes; stops early when the next read would
// start past the last loadable byte.
void unpack_mask(const std::vector<uint8_t>& stream, uint8_t* out, size_t count) {
    if (stream.size() < 4) return;
    const uint8_t* data = stream.data();
    const uint64_t end_bit = static_cast<uint64_t>(stream.size() - 3) * 8;  // first unreadable
    uint64_t bit = 0;
    uint8_t prev = 0;
    size_t i = 0;
    while (i < count && bit < end_bit) {
        const unsigned offset = bit & 7;
        const uint32_t window = load32(data + (bit >> 3)) >> offset;
        if (window & 1) {
            prev = uint8_t(window >> 1);
            out[i++] = prev;
            bit += 9;
            continue;
        }
        // A run of repeat bits: those visible in the window, each at a
        // readable position, no more than wanted.
        uint64_t run = window ? std::countr_zero(window) : 32 - offset;
        run = std::min<uint64_t>({run, end_bit - bit, count - i});
        std::memset(out + i, prev, run);
        i += run;
        bit += run;
    }
}

}  // namespace

MaskedImage::MaskedImage(int32_t width, int32_t height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      mask_stride_(stride_for(std::max(width, 0))) {
    mask_ = ZeroedBytes(static_cast<size_t>(mask_stride_) * height_);
    values_ = ZeroedBytes(static_cast<size_t>(width_) * height_);
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
    RunLengthSource source{run_length, run_length ? run_length + run_length_size : run_length};
    fill_forward(img.values_.data(), img.mask_.data(), img.width_, img.height_, img.mask_stride_,
                 source);
    img.pack();
    return img;
}

void MaskedImage::pack() {
    if (packed_) return;
    packed_values_ = pack_values(values_.data(), mask_.data(), width_, height_, mask_stride_);
    packed_mask_ = pack_mask(mask_.data(), mask_.size());
    mask_.reset();
    values_.reset();
    packed_ = true;
}

void MaskedImage::unpack() {
    if (!packed_) return;
    values_ = ZeroedBytes(static_cast<size_t>(width_) * height_);
    mask_ = ZeroedBytes(static_cast<size_t>(mask_stride_) * height_);
    unpack_mask(packed_mask_, mask_.data(), mask_.size());
    clear_bits_past_width(mask_.data(), width_, height_, mask_stride_);
    DeltaSource source{packed_values_.data(), static_cast<int64_t>(packed_values_.size()) - 4};
    fill_forward(values_.data(), mask_.data(), width_, height_, mask_stride_, source);
    std::vector<uint8_t>().swap(packed_mask_);
    std::vector<uint8_t>().swap(packed_values_);
    packed_ = false;
}

void MaskedImage::clear_mask() {
    unpack();
    std::memset(mask_.data(), 0, mask_.size());
}

void MaskedImage::shift(int32_t dx, int32_t dy) {
    if (dx == 0 && dy == 0) return;
    unpack();
    const int32_t w = width_;
    const int32_t h = height_;
    const size_t stride = static_cast<size_t>(mask_stride_);
    uint8_t* mask = mask_.data();
    uint8_t* values = values_.data();
    // Nothing stays in view: the caller's bounds were broken, but the meaning
    // is plain.
    if (dx <= -w || dx >= w || dy <= -h || dy >= h) {
        std::memset(mask, 0, mask_.size());
        std::memset(values, 0, values_.size());
        return;
    }

    // Rows that keep content after the row move; the others are already 0.
    int32_t live_begin = 0;
    int32_t live_end = h;
    if (dy > 0) {
        const size_t keep = static_cast<size_t>(h - dy);
        std::memmove(mask, mask + dy * stride, keep * stride);
        std::memset(mask + keep * stride, 0, dy * stride);
        std::memmove(values, values + static_cast<size_t>(dy) * w, keep * w);
        std::memset(values + keep * w, 0, static_cast<size_t>(dy) * w);
        live_end = h - dy;
    } else if (dy < 0) {
        const int32_t k = -dy;
        const size_t keep = static_cast<size_t>(h - k);
        std::memmove(mask + k * stride, mask, keep * stride);
        std::memset(mask, 0, k * stride);
        std::memmove(values + static_cast<size_t>(k) * w, values, keep * w);
        std::memset(values, 0, static_cast<size_t>(k) * w);
        live_begin = k;
    }
    if (dx == 0) return;

    if (dx % 8 != 0) {
        // Not a whole mask byte: move the bits one by one (not used by view
        // moves, which keep dx a multiple of 8).
        std::vector<uint8_t> row_bits(stride);
        for (int32_t y = live_begin; y < live_end; ++y) {
            uint8_t* mrow = mask + y * stride;
            uint8_t* vrow = values + static_cast<size_t>(y) * w;
            std::fill(row_bits.begin(), row_bits.end(), uint8_t(0));
            for (int32_t x = std::max(0, -dx); x < std::min(w, w - dx); ++x) {
                const int32_t from = x + dx;
                if ((mrow[from >> 3] >> (from & 7)) & 1) row_bits[x >> 3] |= uint8_t(1u << (x & 7));
            }
            std::memcpy(mrow, row_bits.data(), stride);
            if (dx > 0) {
                std::memmove(vrow, vrow + dx, w - dx);
                std::memset(vrow + w - dx, 0, dx);
            } else {
                std::memmove(vrow - dx, vrow, w + dx);
                std::memset(vrow, 0, -dx);
            }
        }
        return;
    }

    if (dx > 0) {
        const int32_t k = dx;
        const size_t kb = static_cast<size_t>(k / 8);
        const size_t clear_from = static_cast<size_t>((w - k) / 8);
        for (int32_t y = live_begin; y < live_end; ++y) {
            uint8_t* vrow = values + static_cast<size_t>(y) * w;
            std::memmove(vrow, vrow + k, w - k);
            std::memset(vrow + w - k, 0, k);
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
            uint8_t* vrow = values + static_cast<size_t>(y) * w;
            std::memmove(vrow + k, vrow, w - k);
            std::memset(vrow, 0, k);
            uint8_t* mrow = mask + y * stride;
            std::memmove(mrow + kb, mrow, stride - kb);
            std::memset(mrow, 0, kb);
            if (rem) mrow[full] &= uint8_t((1u << rem) - 1);
            std::memset(mrow + start, 0, stride - start);
        }
    }
}

namespace {

// value := byte for the pixels x0 <= x < x1 of one row whose bit is clear.
inline void fill_row_uncomputed(uint8_t* row, const uint8_t* mrow, int32_t x0, int32_t x1,
                                uint8_t value) {
    int32_t x = x0;
    for (; x < x1 && (x & 7); ++x)
        if (!((mrow[x >> 3] >> (x & 7)) & 1)) row[x] = value;
    for (; x + 8 <= x1; x += 8) {
        const unsigned m = mrow[x >> 3];
        if (m == 0) {
            std::memset(row + x, value, 8);
        } else if (m != 0xFF) {
            for (int i = 0; i < 8; ++i)
                if (!((m >> i) & 1)) row[x + i] = value;
        }
    }
    for (; x < x1; ++x)
        if (!((mrow[x >> 3] >> (x & 7)) & 1)) row[x] = value;
}

}  // namespace

void MaskedImage::fill_box(Box box, uint8_t value) {
    unpack();
    const int32_t x0 = std::max<int32_t>(box.x0, 0);
    const int32_t x1 = std::min<int32_t>(box.x1, width_ - 1);
    const int32_t y0 = std::max<int32_t>(box.y0, 0);
    const int32_t y1 = std::min<int32_t>(box.y1, height_ - 1);
    if (x0 > x1) return;
    for (int32_t y = y0; y <= y1; ++y)
        fill_row_uncomputed(values_.data() + static_cast<size_t>(y) * width_,
                            mask_.data() + static_cast<size_t>(y) * mask_stride_, x0, x1 + 1,
                            value);
}

void MaskedImage::fill_edges(Box box, uint8_t value) {
    unpack();
    const int32_t x0 = std::max<int32_t>(box.x0, 0);
    const int32_t x1 = std::min<int32_t>(box.x1, width_ - 1);
    uint8_t* values = values_.data();
    const uint8_t* mask = mask_.data();
    auto row_edge = [&](int32_t y) {
        if (y < 0 || y >= height_ || x0 > x1) return;
        fill_row_uncomputed(values + static_cast<size_t>(y) * width_,
                            mask + static_cast<size_t>(y) * mask_stride_, x0, x1 + 1, value);
    };
    row_edge(box.y0);
    if (box.y1 != box.y0) row_edge(box.y1);

    const int32_t y0 = std::max<int32_t>(box.y0 + 1, 0);
    const int32_t y1 = std::min<int32_t>(box.y1 - 1, height_ - 1);
    auto column_edge = [&](int32_t x) {
        if (x < 0 || x >= width_) return;
        for (int32_t y = y0; y <= y1; ++y) {
            if (!((mask[static_cast<size_t>(y) * mask_stride_ + (x >> 3)] >> (x & 7)) & 1))
                values[static_cast<size_t>(y) * width_ + x] = value;
        }
    };
    column_edge(box.x0);
    if (box.x1 != box.x0) column_edge(box.x1);
}

int32_t MaskedImage::fill_interior(Box box, uint8_t value) {
    unpack();
    const int32_t x0 = std::max<int32_t>(box.x0 + 1, 0);
    const int32_t x1 = std::min<int32_t>(box.x1 - 1, width_ - 1);
    const int32_t y0 = std::max<int32_t>(box.y0 + 1, 0);
    const int32_t y1 = std::min<int32_t>(box.y1 - 1, height_ - 1);
    if (x0 > x1 || y0 > y1) return 0;
    const size_t run = static_cast<size_t>(x1 - x0 + 1);
    for (int32_t y = y0; y <= y1; ++y)
        std::memset(values_.data() + static_cast<size_t>(y) * width_ + x0, value, run);
    return (x1 - x0 + 1) * (y1 - y0 + 1);
}

void MaskedImage::fill_spans(const Span* spans, size_t count, uint8_t value) {
    unpack();
    uint8_t* values = values_.data();
    for (size_t i = 0; i < count; ++i) {
        const Span& s = spans[i];
        if (s.y < 0 || s.y >= height_) continue;
        const int32_t x0 = std::max(s.x0, 0);
        const int32_t x1 = std::min(s.x1, width_);
        if (x0 < x1)
            std::memset(values + static_cast<size_t>(s.y) * width_ + x0, value,
                        static_cast<size_t>(x1 - x0));
    }
}

uint32_t MaskedImage::memory_size() const {
    // The mask is charged at its unpacked size in both states; the packed
    // mask is not charged.
    uint64_t size = 36 + static_cast<uint64_t>(mask_stride_) * height_;
    if (packed_)
        size += packed_values_.size();
    else
        size += static_cast<uint64_t>(width_) * height_;
    return static_cast<uint32_t>(size);
}

}  // namespace quorvel
