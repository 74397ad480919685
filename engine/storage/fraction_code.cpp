#include "storage/fraction_code.h"

namespace quorvel {

std::vector<uint8_t> pack_fractions(const float* codes, size_t pixels) {
    std::vector<uint8_t> out(2 * pixels);
    uint8_t* p = out.data();
    for (size_t i = 0; i < pixels; ++i) {
        const uint16_t bits = fraction_bits(codes[i]);
        p[2 * i] = static_cast<uint8_t>(bits);
        p[2 * i + 1] = static_cast<uint8_t>(bits >> 8);
    }
    return out;
}

bool unpack_fractions(const std::vector<uint8_t>& stream, float* codes, size_t pixels) {
    if (stream.size() != 2 * pixels) return false;
    const uint8_t* p = stream.data();
    for (size_t i = 0; i < pixels; ++i)
        codes[i] = fraction_from_bits(static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8)));
    return true;
}

}  // namespace quorvel
