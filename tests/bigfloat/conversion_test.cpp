// BigFloat construction, conversion to double, text form and stored form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "bigfloat/big_float.h"

namespace quorvel {
namespace {

bool same_words(const BigFloat& a, const BigFloat& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string text(const BigFloat& b) {
    char buf[63];
    b.to_text(buf);
    return buf;
}

TEST(BigFloatConversion, FromDoubleIsExact) {
    const BigFloat one(1.0);
    EXPECT_EQ(one.mant[5], 0x80000000u);
    EXPECT_EQ(one.exponent, 0);
    EXPECT_EQ(one.negative, 0u);
    // 0.1: the 52 fraction bits land below the top bit, 11 zero bits after them.
    const BigFloat tenth(0.1);
    EXPECT_EQ(tenth.mant[5], 0xCCCCCCCCu);
    EXPECT_EQ(tenth.mant[4], 0xCCCCD000u);
    EXPECT_EQ(tenth.mant[3] | tenth.mant[2] | tenth.mant[1] | tenth.mant[0], 0u);
    EXPECT_EQ(tenth.exponent, -4);
    const BigFloat m(-1.25);
    EXPECT_EQ(m.negative, 1u);
    EXPECT_EQ(m.mant[5], 0xA0000000u);
}

TEST(BigFloatConversion, NegativeZeroIsCanonical) {
    EXPECT_TRUE(same_words(BigFloat(-0.0), BigFloat()));
    EXPECT_TRUE(same_words(BigFloat(0.0), BigFloat()));
    EXPECT_EQ(text(BigFloat(-0.0)), "+0.0x+0");
}

TEST(BigFloatConversion, ToDoubleRoundTripsAndTruncates) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 10000; ++i) {
        const double d =
            std::ldexp(double(rng() >> 11) / double(1ull << 53) + 0.5, int(rng() % 200) - 100) *
            (rng() & 1 ? -1 : 1);
        EXPECT_EQ(BigFloat(d).to_double(), d);
    }
    BigFloat b(1.0 + std::ldexp(1.0, -52));
    b.mant[4] |= 0x7FFu;  // bits below the double's precision
    b.mant[0] = 1;
    EXPECT_EQ(b.to_double(), 1.0 + std::ldexp(1.0, -52));
    b.negative = 1;
    EXPECT_EQ(b.to_double(), -(1.0 + std::ldexp(1.0, -52)));
    BigFloat junk_zero;
    junk_zero.mant[4] = 5;
    junk_zero.negative = 1;
    EXPECT_EQ(std::signbit(junk_zero.to_double()), false);
}

TEST(BigFloatConversion, TextFormTable) {
    EXPECT_EQ(text(BigFloat(1.0)), "+8.0x+0");
    EXPECT_EQ(text(BigFloat(0.5)), "+8.0x-1");
    EXPECT_EQ(text(BigFloat(-1.25)), "-A.0x+0");
    EXPECT_EQ(text(BigFloat(3.0)), "+C.0x+1");
    EXPECT_EQ(text(BigFloat(-0.75)), "-C.0x-1");
    EXPECT_EQ(text(BigFloat(0.1)), "+C.CCCCCCCCCCCDx-4");
    EXPECT_EQ(text(BigFloat()), "+0.0x+0");
    BigFloat full;
    for (uint32_t& w : full.mant) w = 0xFFFFFFFFu;
    full.exponent = INT32_MIN;
    full.negative = 1;
    const std::string longest = text(full);
    EXPECT_EQ(longest.size(), 62u);  // 63 bytes with the terminator
    EXPECT_EQ(longest, "-F." + std::string(47, 'F') + "x-2147483648");
}

TEST(BigFloatConversion, TextRoundTripsRandomValues) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 20000; ++i) {
        BigFloat b;
        for (uint32_t& w : b.mant) w = (rng() % 4 == 0) ? 0 : uint32_t(rng());
        b.mant[5] |= 0x80000000u;
        b.exponent = int32_t(rng() % 2001) - 1000;
        b.negative = uint32_t(rng() & 1);
        const std::string t = text(b);
        EXPECT_TRUE(same_words(BigFloat(t.c_str()), b)) << t;
        if (HasFailure()) return;
    }
    EXPECT_TRUE(same_words(BigFloat("+0.0x+0"), BigFloat()));
}

TEST(BigFloatConversion, ReadingRules) {
    EXPECT_TRUE(same_words(BigFloat("0.5"), BigFloat(0.5)));      // decimal without an x
    EXPECT_TRUE(same_words(BigFloat("+8.0X+0"), BigFloat(8.0)));  // upper-case X: atof
    EXPECT_TRUE(same_words(BigFloat("+8.0x-1"), BigFloat(0.5)));
    EXPECT_TRUE(same_words(BigFloat(" \t-A.0x+0"), BigFloat(-1.25)));
    EXPECT_TRUE(same_words(BigFloat("C.0x+1"), BigFloat(3.0)));     // no sign: positive
    EXPECT_TRUE(same_words(BigFloat("+8x+0"), BigFloat(1.0)));      // no point
    EXPECT_TRUE(same_words(BigFloat("+8.0x"), BigFloat(1.0)));      // no exponent digits
    EXPECT_TRUE(same_words(BigFloat("+c.0x+1"), BigFloat(3.0)));    // lower-case digits
    EXPECT_TRUE(same_words(BigFloat("+A8.0x+0"), BigFloat(21.0)));  // point after two digits: +4
    EXPECT_TRUE(same_words(BigFloat("+.8x+0"), BigFloat(0.0625)));  // point first: -4
    EXPECT_TRUE(
        same_words(BigFloat("+8.0zzzx+3"), BigFloat(8.0)));  // digits end at the first other char
    EXPECT_TRUE(same_words(BigFloat("- 8.0x+0"), BigFloat()));  // blank after the sign: no digits
    EXPECT_TRUE(same_words(BigFloat(static_cast<const char*>(nullptr)), BigFloat()));

    // 48 digits fill the significand; later digits and a point after them are ignored.
    const std::string digits48 = "8" + std::string(46, '0') + "1";
    BigFloat b((("+" + digits48 + "F.x+0")).c_str());
    EXPECT_EQ(b.mant[5], 0x80000000u);
    EXPECT_EQ(b.mant[0], 1u);
    EXPECT_EQ(b.exponent, 0);  // the point after the 48th digit never counts
}

TEST(BigFloatConversion, ParsedTextIsNormalised) {
    // A top digit below 8 or leading zeros would leave the top bit clear.
    EXPECT_TRUE(same_words(BigFloat("+1.0x+3"), BigFloat(1.0)));
    EXPECT_TRUE(same_words(BigFloat("+4.0x+0"), BigFloat(0.5)));
    EXPECT_TRUE(same_words(BigFloat("-0.0Cx+0"), BigFloat(-0.005859375)));
    EXPECT_TRUE(same_words(BigFloat("+000000000001.8x+0"), BigFloat(0.1875)));
    EXPECT_TRUE(same_words(BigFloat("-0.000x+7"), BigFloat()));  // all-zero: canonical zero
    const BigFloat odd("+3.FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFx+5");
    EXPECT_EQ(odd.mant[5], 0xFFFFFFFFu);
    EXPECT_EQ(odd.mant[0], 0xFFFFFFFCu);
    EXPECT_EQ(odd.exponent, 3);
    BigFloat sum = odd;
    sum += BigFloat(1.0);  // arithmetic on it behaves
    EXPECT_EQ(sum.mant[5] >> 31, 1u);
}

TEST(BigFloatConversion, StoredFormIsLittleEndianWords) {
    BigFloat b(-1.25);
    b.mant[0] = 0x04030201u;
    uint8_t bytes[32];
    b.store(bytes);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(bytes[23], 0xA0);  // top byte of mant[5]
    EXPECT_EQ(bytes[24], 0);     // exponent 0
    EXPECT_EQ(bytes[28], 1);     // sign word
    EXPECT_TRUE(same_words(BigFloat::load(bytes), b));
    BigFloat e(std::ldexp(1.0, -3));
    e.store(bytes);
    EXPECT_EQ(bytes[24], 0xFD);
    EXPECT_EQ(bytes[27], 0xFF);
}

}  // namespace
}  // namespace quorvel
