// BigFloat arithmetic against the exact GMP reference, and the edge cases of
// the rounding rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "bigfloat/big_float.h"
#include "oracle.h"

namespace quorvel {
namespace {

std::string words(const BigFloat& b) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "[%08X %08X %08X %08X %08X %08X e=%d n=%u]", b.mant[5],
                  b.mant[4], b.mant[3], b.mant[2], b.mant[1], b.mant[0], b.exponent, b.negative);
    return buf;
}

bool same_words(const BigFloat& a, const BigFloat& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

#define EXPECT_WORDS(expected, actual)        \
    EXPECT_TRUE(same_words(expected, actual)) \
        << "expected " << words(expected) << "\n  actual " << words(actual)

BigFloat make(uint32_t m5, uint32_t m4, uint32_t m3, uint32_t m2, uint32_t m1, uint32_t m0,
              int32_t e, uint32_t neg = 0) {
    BigFloat b;
    const uint32_t m[6] = {m0, m1, m2, m3, m4, m5};
    std::memcpy(b.mant, m, sizeof m);
    b.exponent = e;
    b.negative = neg;
    return b;
}

// Random normalised operands; words are biased towards 0 and all-ones so that
// carries run through whole lanes.
class Operands {
public:
    explicit Operands(uint64_t seed) : rng_(seed) {}

    uint32_t word() {
        switch (rng_() % 8) {
            case 0:
                return 0;
            case 1:
                return 0xFFFFFFFFu;
            case 2:
                return 0x80000000u;
            default:
                return uint32_t(rng_());
        }
    }
    BigFloat value(int32_t e) {
        BigFloat b;
        for (int i = 0; i < 6; ++i) b.mant[i] = word();
        b.mant[5] |= 0x80000000u;
        b.exponent = e;
        b.negative = uint32_t(rng_() & 1);
        return b;
    }
    // A value close to v: low words changed, sometimes the top bits too.
    BigFloat near(const BigFloat& v) {
        BigFloat b = v;
        const int k = int(rng_() % 6);
        for (int i = 0; i <= k; ++i) b.mant[i] = word();
        b.mant[5] |= 0x80000000u;
        b.negative = uint32_t(rng_() & 1);
        return b;
    }
    uint64_t next() { return rng_(); }

private:
    std::mt19937_64 rng_;
};

void check_add_sub(const BigFloat& a, const BigFloat& b) {
    const oracle::Ref ra(a), rb(b);
    BigFloat s = a;
    s += b;
    EXPECT_WORDS(oracle::plus(ra, rb).to_big_float(), s)
        << " for " << words(a) << " + " << words(b);
    BigFloat d = a;
    d -= b;
    EXPECT_WORDS(oracle::minus(ra, rb).to_big_float(), d)
        << " for " << words(a) << " - " << words(b);
}

void check_mul(const BigFloat& a, const BigFloat& b) {
    const oracle::Ref ra(a), rb(b);
    BigFloat p = a;
    p *= b;
    EXPECT_WORDS(oracle::multiply(ra, rb, false).to_big_float(), p)
        << " for " << words(a) << " * " << words(b);
    BigFloat q = a;
    q *= q;
    EXPECT_WORDS(oracle::multiply(ra, ra, true).to_big_float(), q) << " for square of " << words(a);
}

TEST(BigFloatArithmetic, RandomSumsAndDifferencesMatchReference) {
    Operands gen(1);
    const int distances[] = {0,   1,   2,   3,   31,  32,  33,  63,  64,  65,  127,
                             128, 129, 190, 191, 192, 193, 255, 256, 257, 1000};
    for (int round = 0; round < 100000; ++round) {
        const int32_t e = int32_t(gen.next() % 41) - 20;
        const BigFloat a = gen.value(e);
        BigFloat b;
        switch (round % 4) {
            case 0:
                b = gen.value(e - distances[gen.next() % std::size(distances)]);
                break;
            case 1:
                b = gen.value(e + distances[gen.next() % std::size(distances)]);
                break;
            case 2:
                b = gen.near(a);
                break;  // equal exponents, near cancellation
            default:
                b = gen.value(e - int32_t(gen.next() % 200));
                break;
        }
        check_add_sub(a, b);
        if (HasFailure()) return;
    }
}

TEST(BigFloatArithmetic, NearCancellationAcrossOneBit) {
    // |b| just below |a| one exponent lower: d = 1 with heavy cancellation.
    Operands gen(2);
    for (int round = 0; round < 20000; ++round) {
        BigFloat a = gen.value(0);
        a.mant[5] = 0x80000000u | (uint32_t(gen.next()) & 0xFu);
        BigFloat b = gen.value(-1);
        b.mant[5] = 0xFFFFFFF0u | (uint32_t(gen.next()) & 0xFu);
        b.negative = a.negative;
        check_add_sub(a, b);
        if (HasFailure()) return;
    }
}

TEST(BigFloatArithmetic, RandomProductsAndSquaresMatchReference) {
    Operands gen(3);
    for (int round = 0; round < 100000; ++round) {
        const BigFloat a = gen.value(int32_t(gen.next() % 21) - 10);
        const BigFloat b = round % 3 == 0 ? gen.near(a) : gen.value(int32_t(gen.next() % 21) - 10);
        check_mul(a, b);
        if (HasFailure()) return;
    }
}

TEST(BigFloatArithmetic, ExtremeSignificands) {
    const BigFloat ones = make(~0u, ~0u, ~0u, ~0u, ~0u, ~0u, 0);
    const BigFloat top = make(0x80000000u, 0, 0, 0, 0, 0, 0);
    const BigFloat low = make(0x80000000u, 0, 0, 0, 0, 1, 0);
    const BigFloat cases[] = {ones, top, low, make(0x80000000u, 0, 0, 0, 0, ~0u, 3),
                              make(0xFFFFFFFFu, 0, 0, 0, 0, 0, -2)};
    for (const BigFloat& a : cases)
        for (const BigFloat& b : cases) {
            check_mul(a, b);
            for (int shift : {0, 1, 2, 64, 191, 192, 193}) {
                BigFloat c = b;
                c.exponent = a.exponent - shift;
                check_add_sub(a, c);
                c.negative = 1;
                check_add_sub(a, c);
            }
        }
}

TEST(BigFloatArithmetic, MagnitudePrimitivesKeepTheSignWord) {
    Operands gen(4);
    for (int round = 0; round < 20000; ++round) {
        BigFloat y = gen.value(5);
        BigFloat x = gen.value(5 - int32_t(gen.next() % 200));
        if (compare_magnitude(x, y) != 2) std::swap(x, y);
        if (compare_magnitude(x, y) != 2) continue;
        BigFloat s = x, d = x;
        add_magnitudes(s, y);
        subtract_magnitudes(d, y);
        const oracle::Ref rx(x), ry(y);
        EXPECT_WORDS(oracle::add_magnitudes(rx, ry).to_big_float(), s);
        EXPECT_WORDS(oracle::subtract_magnitudes(rx, ry).to_big_float(), d);
        if (HasFailure()) return;
    }
}

TEST(BigFloatArithmetic, CompareMagnitude) {
    const BigFloat one(1.0), minus_one(-1.0), two(2.0),
        almost = make(0x80000000u, 0, 0, 0, 0, 1, 0);
    EXPECT_EQ(compare_magnitude(one, minus_one), 0);
    EXPECT_EQ(compare_magnitude(two, one), 1);
    EXPECT_EQ(compare_magnitude(one, two), 2);
    EXPECT_EQ(compare_magnitude(almost, one), 1);  // decided by the lowest word
    EXPECT_EQ(compare_magnitude(BigFloat(0.75), BigFloat(-1.5)), 2);
}

TEST(BigFloatArithmetic, RoundingEdgesOfAddition) {
    const BigFloat one(1.0);
    BigFloat tiny = make(0x80000000u, 0, 0, 0, 0, 0, -192);  // 2^-192
    BigFloat s = one;
    s += tiny;
    EXPECT_WORDS(make(0x80000000u, 0, 0, 0, 0, 1, 0), s);  // 1 + 2^-191: the tie rounds up
    tiny.exponent = -193;
    s = one;
    s += tiny;
    EXPECT_WORDS(one, s);
    tiny.exponent = -192;
    s = one;
    s -= tiny;
    EXPECT_WORDS(one, s);  // difference truncates
    tiny.exponent = -500;
    s = one;
    s += tiny;
    EXPECT_WORDS(one, s);
}

TEST(BigFloatArithmetic, ZerosAndDoubling) {
    const BigFloat zero, x(-3.75);
    EXPECT_WORDS(zero, x + BigFloat(3.75));
    EXPECT_WORDS(zero, x - x);
    BigFloat doubled = x;
    doubled.exponent += 1;
    EXPECT_WORDS(doubled, x + x);
    EXPECT_WORDS(doubled, x - BigFloat(3.75));
    EXPECT_WORDS(x, x + zero);
    EXPECT_WORDS(x, zero + x);
    EXPECT_WORDS(BigFloat(3.75), zero - x);
    BigFloat p = zero;
    p *= x;
    EXPECT_WORDS(zero, p);
    p = x;
    p *= zero;
    EXPECT_WORDS(zero, p);  // canonical: sign 0
    // Anything with mant[5] == 0 counts as zero; its other words are not read.
    BigFloat junk = make(0, 0x1234u, 0, 0, 0, 7, 12, 1);
    EXPECT_WORDS(x, x + junk);
    EXPECT_WORDS(x, junk + x);
    junk *= junk;
    EXPECT_WORDS(make(0, 0x1234u, 0, 0, 0, 7, 12, 1), junk);  // squaring a zero changes nothing
}

TEST(BigFloatArithmetic, SmallExactProducts) {
    BigFloat one(1.0);
    one *= one;
    EXPECT_WORDS(BigFloat(1.0), one);
    BigFloat three(3.0);
    three *= three;
    EXPECT_WORDS(BigFloat(9.0), three);
    EXPECT_EQ(three.exponent, 3);
    EXPECT_EQ(three.mant[5] >> 28, 0x9u);
    BigFloat p(-1.5);
    p *= BigFloat(2.5);
    EXPECT_WORDS(BigFloat(-3.75), p);
    BigFloat sq(-1.5);
    sq *= sq;
    EXPECT_WORDS(BigFloat(2.25), sq);
}

TEST(BigFloatArithmetic, LowestProductCarriesIntoTheRoundingBit) {
    // (2^191 + 2^32k) x (2^192 - 1) has a long run of ones down to bit 32, so
    // the kept upper half of a.mant[0] x b.mant[0] decides the rounding bit.
    const BigFloat ones = make(~0u, ~0u, ~0u, ~0u, ~0u, ~0u, 0);
    for (uint32_t k = 1; k < 4; ++k)
        for (uint32_t a0 : {0u, 1u, 0x10000u, 0x80000000u, 0xFFFFFFFFu}) {
            const BigFloat a = make(0x80000000u, 0, 0, 0, k, a0, 1);
            check_mul(a, ones);
            check_mul(ones, a);
        }
}

TEST(BigFloatArithmetic, ProductDropsTheFiveLowCrossTerms) {
    // a.mant[0] x b.mant[j] (j >= 1) is never formed, so the product is not
    // symmetric in its operands.
    const BigFloat a = make(0x80000000u, 0, 0, 0, 0, 0xFFFFFFFFu, 0);
    const BigFloat b = make(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0);
    BigFloat ab = a, ba = b;
    ab *= b;
    ba *= a;
    EXPECT_FALSE(same_words(ab, ba));
    check_mul(a, b);
    check_mul(b, a);
}

}  // namespace
}  // namespace quorvel
