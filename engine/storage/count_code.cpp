#include "storage/count_code.h"

#include <cstring>

namespace quorvel {

namespace {

uint32_t predicted(const uint32_t* counts, size_t i, size_t width) {
    if (i == 0) return 0;
    return i % width != 0 ? counts[i - 1] : counts[i - width];
}

}  // namespace

std::vector<uint8_t> pack_counts(const uint32_t* counts, int32_t width, int32_t height) {
    std::vector<uint8_t> out;
    if (width <= 0 || height <= 0) return out;
    const size_t w = static_cast<size_t>(width);
    const size_t n = w * static_cast<size_t>(height);
    out.reserve(n + n / 4);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t d = counts[i] - predicted(counts, i, w);
        // Zigzag: small differences of either sign become small numbers.
        uint32_t z = (d << 1) ^ (0u - (d >> 31));
        while (z >= 0x80) {
            out.push_back(static_cast<uint8_t>(z | 0x80));
            z >>= 7;
        }
        out.push_back(static_cast<uint8_t>(z));
    }
    return out;
}

bool unpack_counts(const std::vector<uint8_t>& stream, uint32_t* counts, int32_t width,
                   int32_t height) {
    if (width <= 0 || height <= 0) return stream.empty();
    const size_t w = static_cast<size_t>(width);
    const size_t n = w * static_cast<size_t>(height);
    const uint8_t* p = stream.data();
    const uint8_t* end = p + stream.size();
    for (size_t i = 0; i < n; ++i) {
        uint32_t z = 0;
        for (int shift = 0;; shift += 7) {
            if (p == end || shift > 28) {
                std::memset(counts, 0, n * sizeof(uint32_t));
                return false;
            }
            const uint8_t b = *p++;
            z |= static_cast<uint32_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) break;
        }
        const uint32_t d = (z >> 1) ^ (0u - (z & 1));
        counts[i] = predicted(counts, i, w) + d;
    }
    if (p != end) {
        std::memset(counts, 0, n * sizeof(uint32_t));
        return false;
    }
    return true;
}

}  // namespace quorvel
