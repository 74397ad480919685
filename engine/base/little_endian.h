// Little-endian loads and stores of 32- and 64-bit words at any address: the
// history file, the packed pixel streams, stored big floats and the public
// location record all keep their numbers this way, whatever the host.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quorvel {

inline uint32_t load_le32(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    } else {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
}

inline void store_le32(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 4);
    } else {
        for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
    }
}

inline uint64_t load_le64(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    } else {
        return uint64_t(load_le32(p)) | uint64_t(load_le32(p + 4)) << 32;
    }
}

inline void store_le64(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 8);
    } else {
        store_le32(p, uint32_t(v));
        store_le32(p + 4, uint32_t(v >> 32));
    }
}

}  // namespace quorvel
