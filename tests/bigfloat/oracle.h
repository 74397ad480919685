// Exact reference for the BigFloat word rules, written directly from the rules
// with GMP integers; shares nothing with the engine's arithmetic. Also the
// operand generator and word comparison the BigFloat tests share.
#pragma once

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "bigfloat/big_float.h"

namespace quorvel::oracle {

inline int bit(const mpz_class& m, int64_t k) { return k >= 0 && mpz_tstbit(m.get_mpz_t(), k); }

// The significand as one integer; mant[5] == 0 counts as zero.
struct Ref {
    mpz_class m;
    int64_t e = 0;
    uint32_t neg = 0;

    BigFloat to_big_float() const {
        BigFloat b;
        for (int i = 0; i < 6; ++i) b.mant[i] = uint32_t(mpz_class(m >> (32 * i)).get_ui());
        b.exponent = int32_t(e);
        b.negative = neg;
        return b;
    }
    bool zero() const { return (m >> 160) == 0; }
    // Brings the top bit back to bit 191; a carry out is truncated.
    void normalise() {
        if (bit(m, 192)) m >>= 1, ++e;
        while (m > 0 && !bit(m, 191)) m <<= 1, --e;
    }
};

inline Ref ref(const BigFloat& b) {
    Ref r{0, b.exponent, b.negative};
    for (int i = 5; i >= 0; --i) r.m = (r.m << 32) + b.mant[i];
    return r;
}

// The 31 partial products (no a.mant[0] x b.mant[j > 0], only the upper half of
// a.mant[0] x b.mant[0]), rounded half up on the first dropped bit.
inline Ref multiply(const Ref& a, const Ref& b) {
    if (a.zero() || b.zero()) return Ref();
    const BigFloat x = a.to_big_float(), y = b.to_big_float();
    mpz_class p;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < (i == 0 ? 1 : 6); ++j)
            p += mpz_class(uint64_t(x.mant[i]) * y.mant[j] & (i ? ~0ul : ~0ul << 32))
                 << 32 * (i + j);
    const int s = 191 + bit(p, 383);
    Ref r{(p >> s) + bit(p, s - 1), a.e + b.e + bit(p, 383), a.neg ^ b.neg};
    r.normalise();
    return r;
}
// Squaring a zero leaves it as it is, words and all.
inline Ref square(const Ref& a) { return a.zero() ? a : multiply(a, a); }

// x <- |y| +- |x| aligned to y, sign of x kept: a sum rounds the shifted-out
// part half up; a difference keeps one guard bit at distance 1, else truncates.
inline Ref magnitudes(const Ref& x, const Ref& y, bool subtract) {
    const int64_t d = std::min<int64_t>(y.e - x.e, 200), g = subtract && d == 1;
    Ref r{y.m, y.e - g, x.neg};
    if (subtract)
        r.m = (y.m << g) - (x.m >> (d - g));
    else
        r.m += ((x.m << 1) + (mpz_class(1) << d)) >> (d + 1);
    r.normalise();
    return r;
}

// a += b by its case table; a -= b is a += (-b).
inline Ref plus(const Ref& a, const Ref& b) {
    if (a.zero() || b.zero()) return b.zero() ? a : b;
    const bool same = a.neg == b.neg, a_larger = a.e != b.e ? a.e > b.e : a.m > b.m;
    if (a.e == b.e && a.m == b.m) return same ? Ref{a.m, a.e + 1, a.neg} : Ref();
    const Ref &big = a_larger ? a : b, &small = a_larger ? b : a;
    Ref r = magnitudes(small, big, !same);
    r.neg = big.neg;
    return r;
}
inline Ref minus(const Ref& a, Ref b) {
    b.neg ^= 1;
    return plus(a, b);
}

inline BigFloat make(uint32_t m5, uint32_t m4, uint32_t m3, uint32_t m2, uint32_t m1, uint32_t m0,
                     int32_t e, uint32_t neg = 0) {
    BigFloat b;
    const uint32_t m[6] = {m0, m1, m2, m3, m4, m5};
    std::memcpy(b.mant, m, sizeof m);
    b.exponent = e;
    b.negative = neg;
    return b;
}

// Random normalised operands; words lean towards 0, all-ones and the top bit
// so that carries run through whole lanes.
struct Operands {
    std::mt19937_64 rng;
    uint32_t word() {
        const uint64_t r = rng();
        return r % 8 == 0 ? 0 : r % 8 == 1 ? ~0u : r % 8 == 2 ? 0x80000000u : uint32_t(r >> 32);
    }
    // b with words 0 to top replaced, normalised, with a random sign.
    BigFloat fill(BigFloat b, int top) {
        for (int i = 0; i <= top; ++i) b.mant[i] = word();
        b.mant[5] |= 0x80000000u;
        b.negative = uint32_t(rng() & 1);
        return b;
    }
    BigFloat value(int32_t e) { return fill(make(0, 0, 0, 0, 0, 0, e), 5); }
    BigFloat near(const BigFloat& v) { return fill(v, int(rng() % 6)); }
};

inline std::string words(const BigFloat& b) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "[%08X %08X %08X %08X %08X %08X e=%d n=%u]", b.mant[5],
                  b.mant[4], b.mant[3], b.mant[2], b.mant[1], b.mant[0], b.exponent, b.negative);
    return buf;
}
// Word-for-word equality; use as EXPECT_TRUE(same(expected, actual)).
inline testing::AssertionResult same(const BigFloat& want, const BigFloat& got) {
    if (std::memcmp(&want, &got, sizeof want) == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "expected " << words(want) << "\n  actual " << words(got);
}

}  // namespace quorvel::oracle
