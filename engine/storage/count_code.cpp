#include "storage/count_code.h"

#include <algorithm>
#include <cstring>

namespace quorvel {

namespace {

// Gives each count's zigzag code in turn: emit(z).
template <class Count, class Emit>
void for_each_code(const Count* counts, size_t w, size_t n, Emit&& emit) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t predicted = i == 0       ? 0u
                                   : i % w != 0 ? uint32_t{counts[i - 1]}
                                                : uint32_t{counts[i - w]};
        const uint32_t d = uint32_t{counts[i]} - predicted;
        // Zigzag: small differences of either sign become small numbers.
        emit((d << 1) ^ (0u - (d >> 31)));
    }
}

template <class Count>
std::vector<uint8_t> pack_counts_of(const Count* counts, size_t w, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n + n / 4);
    for_each_code(counts, w, n, [&](uint32_t z) {
        while (z >= 0x80) {
            out.push_back(static_cast<uint8_t>(z | 0x80));
            z >>= 7;
        }
        out.push_back(static_cast<uint8_t>(z));
    });
    return out;
}

// Decodes width x height counts, a row at a time: row(y, counts) is given each
// decoded row. Only the left neighbour and the first count of the row above
// predict, so nothing else is kept. False when the stream does not fit.
template <class Row>
bool decode_rows(const uint8_t* p, size_t size, int32_t width, int32_t height, Row&& row) {
    if (width <= 0 || height <= 0) return size == 0;
    const uint8_t* end = p + size;
    std::vector<uint32_t> counts(static_cast<size_t>(width));
    uint32_t above = 0;  // the first count of the row above
    for (int32_t y = 0; y < height; ++y) {
        uint32_t left = above;
        for (int32_t x = 0; x < width; ++x) {
            uint32_t z = 0;
            for (int shift = 0;; shift += 7) {
                if (p == end || shift > 28) return false;
                const uint8_t b = *p++;
                z |= static_cast<uint32_t>(b & 0x7F) << shift;
                if (!(b & 0x80)) break;
            }
            left += (z >> 1) ^ (0u - (z & 1));
            counts[static_cast<size_t>(x)] = left;
        }
        above = counts[0];
        row(y, counts.data());
    }
    return p == end;
}

}  // namespace

std::vector<uint8_t> pack_counts(const uint32_t* counts, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return {};
    const size_t w = static_cast<size_t>(width);
    return pack_counts_of(counts, w, w * static_cast<size_t>(height));
}

std::vector<uint8_t> pack_counts(const CountPlane& counts, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return {};
    const size_t w = static_cast<size_t>(width);
    return counts.visit(
        [&](const auto* c) { return pack_counts_of(c, w, w * static_cast<size_t>(height)); });
}

size_t packed_counts_size(const CountPlane& counts, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return 0;
    const size_t w = static_cast<size_t>(width);
    return counts.visit([&](const auto* c) {
        size_t size = 0;
        for_each_code(c, w, w * static_cast<size_t>(height), [&](uint32_t z) {
            size += z < (1u << 7)    ? 1
                    : z < (1u << 14) ? 2
                    : z < (1u << 21) ? 3
                    : z < (1u << 28) ? 4
                                     : 5;
        });
        return size;
    });
}

bool unpack_counts(const std::vector<uint8_t>& stream, CountPlane& counts, int32_t width,
                   int32_t height) {
    const size_t w = static_cast<size_t>(std::max(width, 0));
    const bool ok = decode_rows(
        stream.data(), stream.size(), width, height, [&](int32_t y, const uint32_t* row) {
            counts.fit(*std::max_element(row, row + w));
            counts.visit([&](auto* c) { std::copy(row, row + w, c + static_cast<size_t>(y) * w); });
        });
    if (!ok) counts = CountPlane(counts.size());
    return ok;
}

bool counts_decode(const uint8_t* stream, size_t size, int32_t width, int32_t height) {
    return decode_rows(stream, size, width, height, [](int32_t, const uint32_t*) {});
}

}  // namespace quorvel
