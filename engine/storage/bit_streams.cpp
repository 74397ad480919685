// The packed form of a MaskedImage: the mask and value bit streams, their
// encoders and decoders. Both streams are read least significant bit first and
// end with four spare bytes, so a reader may always load 32 bits at once.
#include "storage/bit_streams.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "base/little_endian.h"
#include "storage/delta_code.h"

namespace quorvel {
namespace {

inline uint64_t load64_raw(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
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
        const uint32_t window = load_le32(data + pos) >> (bit & 7);
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
        uint64_t window = load_le64(data + pos) >> (bit & 7);
        uint8_t value = v;
        for (int i = 0; i < 5; ++i) {
            const DeltaDecodeEntry e = table[window & kIndex];
            window >>= e.length;
            bit += e.length;
            value = uint8_t(value + e.symbol);
            out[i] = value;
        }
        window = load_le64(data + (bit >> 3)) >> (bit & 7);
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

}  // namespace

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

std::vector<uint8_t> pack_values(const uint8_t* values, const uint8_t* mask, int32_t width,
                                 int32_t height, int32_t stride) {
    // Bits past the width may be counted too; this is only a bound.
    const size_t mask_bytes = static_cast<size_t>(stride) * height;
    size_t computed = 0;
    size_t i = 0;
    for (; i + 8 <= mask_bytes; i += 8)
        computed += static_cast<size_t>(std::popcount(load64_raw(mask + i)));
    for (; i < mask_bytes; ++i) computed += static_cast<size_t>(std::popcount(mask[i]));

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
        store_le64(dst, acc);
        const unsigned bytes = pending >> 3;
        dst += bytes;
        acc >>= bytes * 8;
        pending &= 7;
    });
    const size_t bits = static_cast<size_t>(dst - base) * 8 + pending;
    store_le64(dst, acc);
    // The bits, then zero bytes up to a 4-byte tail past the last bit's byte.
    return std::vector<uint8_t>(base, base + bits / 8 + 4);
}

size_t packed_values_size(const uint8_t* values, const uint8_t* mask, int32_t width, int32_t height,
                          int32_t stride) {
    const DeltaCodeEntry* code = delta_code();
    size_t bits = 0;
    uint8_t prev = 0;
    for_each_computed(values, mask, width, height, stride, [&](uint8_t v) {
        bits += code[uint8_t(v - prev)].length;
        prev = v;
    });
    return bits / 8 + 4;
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
        store_le32(p, load_le32(p) | ((uint32_t(b) << 1 | 1u) << (bit & 7)));
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
        const uint32_t window = load_le32(data + (bit >> 3)) >> offset;
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

void unpack_values(const std::vector<uint8_t>& stream, uint8_t* values, const uint8_t* mask,
                   int32_t width, int32_t height, int32_t stride) {
    DeltaSource source{stream.data(), static_cast<int64_t>(stream.size()) - 4};
    fill_forward(values, mask, width, height, stride, source);
}

void unpack_run_length(const uint8_t* run_length, size_t size, uint8_t* values, const uint8_t* mask,
                       int32_t width, int32_t height, int32_t stride) {
    RunLengthSource source{run_length, run_length ? run_length + size : run_length};
    fill_forward(values, mask, width, height, stride, source);
}

}  // namespace quorvel
