#include "bigfloat/big_float.h"

namespace quorvel {

BigFloat BigFloat::normalised() const {
    BigFloat r = *this;
    int top = 5;
    while (top >= 0 && r.mant[top] == 0) --top;
    if (top < 0) return BigFloat();
    // Whole words first, then the remaining bits.
    const int word_shift = 5 - top;
    if (word_shift > 0) {
        for (int i = 5; i >= 0; --i) r.mant[i] = i - word_shift >= 0 ? r.mant[i - word_shift] : 0;
    }
    const int bit_shift = __builtin_clz(r.mant[5]);
    if (bit_shift > 0) {
        for (int i = 5; i > 0; --i)
            r.mant[i] = (r.mant[i] << bit_shift) | (r.mant[i - 1] >> (32 - bit_shift));
        r.mant[0] <<= bit_shift;
    }
    r.exponent = int32_t(uint32_t(r.exponent) - uint32_t(word_shift * 32 + bit_shift));
    // Any non-zero sign word means negative; the arithmetic expects 1.
    r.negative = r.negative != 0;
    return r;
}

}  // namespace quorvel
