// WideReal against MPFR computed independently, and against BigFloat's own
// text form and parser.
#include "deep/wide_real.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "deep/mpfr_number.h"

namespace quorvel {
namespace {

// value = 0xD.DDD * 2^(exponent - 3), as the hexadecimal form reads.
void set_hex(mpfr_ptr out, const std::string& digits, long exponent) {
    mpz_t z;
    mpz_init_set_str(z, digits.c_str(), 16);
    mpfr_set_z_2exp(out, z, exponent - 3 - 4 * long(digits.size() - 1), MPFR_RNDN);
    mpz_clear(z);
}

// Canonical hexadecimal text of `count` random digits: the first 8 to F, the
// last odd, so the value needs exactly 4 * count bits.
std::string random_hex(std::mt19937_64& rng, size_t count) {
    const char* hex = "0123456789ABCDEF";
    std::string digits(1, hex[8 + rng() % 8]);
    for (size_t i = 1; i + 1 < count; ++i) digits += hex[rng() % 16];
    digits += hex[1 + 2 * (rng() % 8)];
    return digits;
}

// "<sign>D.DDDx<exponent>"
std::string hex_form(char sign, const std::string& digits, long exponent) {
    std::string text(1, sign);
    text += digits;
    text.insert(2, 1, '.');
    text += exponent >= 0 ? "x+" : "x";
    text += std::to_string(exponent);
    return text;
}

// The digits of 1 ("8" in the first place) with these digits at these places
// after the point.
std::string one_plus(std::initializer_list<std::pair<size_t, char>> places) {
    std::string digits(1, '8');
    for (const auto& [place, digit] : places) {
        digits.resize(std::max(digits.size(), place + 1), '0');
        digits[place] = digit;
    }
    return digits;
}

std::string text_of(const BigFloat& b) {
    char text[64];
    b.to_text(text);
    return text;
}

WideReal parsed(const char* text) {
    const std::optional<WideReal> r = WideReal::parse(text);
    EXPECT_TRUE(r.has_value()) << text;
    return r.value_or(WideReal());
}

TEST(WideRealHex, RoundTripsExactlyAt192_1000And20000Bits) {
    std::mt19937_64 rng(7);
    for (const long bits : {192L, 1000L, 20000L})
        for (const long exponent : {0L, -3L, 41L, -16600L, -1000000L}) {
            const std::string digits = random_hex(rng, size_t(bits / 4));
            const std::string text = hex_form(exponent % 2 ? '-' : '+', digits, exponent);
            MpfrNumber truth(bits);
            set_hex(truth.get(), digits, exponent);
            if (exponent % 2) mpfr_neg(truth.get(), truth.get(), MPFR_RNDN);
            const WideReal value = parsed(text.c_str());
            EXPECT_TRUE(mpfr_equal_p(value.get(), truth.get())) << bits << " " << exponent;
            EXPECT_EQ(value.precision(), bits);
            EXPECT_EQ(value.to_hex_text(), text);
            EXPECT_EQ(value.fits_big_float(), bits == 192);
        }
    EXPECT_EQ(WideReal(2.0).to_hex_text(), "+8.0x+1");
    EXPECT_EQ(WideReal(-0.75, 1000).to_hex_text(), "-C.0x-1");
    EXPECT_EQ(WideReal(-0.0).to_hex_text(), "+0.0x+0");
}

TEST(WideRealHex, ReadsAndWritesAsBigFloatDoes) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 2000; ++i) {
        BigFloat b;
        for (uint32_t& word : b.mant) word = uint32_t(rng());
        b.mant[5] |= 0x80000000u;
        b.exponent = int32_t(rng() % 200001) - 100000;
        b.negative = uint32_t(rng() % 2);
        const std::string text = text_of(b);
        const WideReal value = parsed(text.c_str());
        ASSERT_TRUE(value == WideReal(b)) << text;
        ASSERT_EQ(value.to_hex_text(), text);
        ASSERT_TRUE(value.fits_big_float());
        ASSERT_EQ(std::memcmp(value.to_big_float().mant, b.mant, sizeof b.mant), 0) << text;
        ASSERT_EQ(text_of(value.to_big_float()), text);
    }
    for (const char* text :
         {"+8.0x+1", "+0.0x+0", "-0.0x+0", "+1.0x+0", "+3.FFx-7", "-0.08x+5", "0008.8x+2", "8x+3",
          "+12345x-2", "+a.bcdefx-12", ".8x+0", "8.x+0", " \t-9.5x+17 ",
          "+7.0000000000000000001x+0", "-f.fffffffffffffffffffffffffffffffffffffffffffffffx+9",
          "+7.FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFx-1"}) {
        const BigFloat b(text);
        const WideReal value = parsed(text);
        EXPECT_TRUE(value == WideReal(b)) << text;
        EXPECT_EQ(value.to_hex_text(), text_of(b)) << text;
    }
    // Past BigFloat's 48 digits every digit still counts.
    const char* long_text = "+8.0000000000000000000000000000000000000000000000001x+0";
    MpfrNumber truth(400);
    mpfr_set_ui_2exp(truth.get(), 1, -199, MPFR_RNDN);
    mpfr_add_ui(truth.get(), truth.get(), 1, MPFR_RNDN);
    EXPECT_TRUE(mpfr_equal_p(parsed(long_text).get(), truth.get()));
    EXPECT_FALSE(parsed(long_text).fits_big_float());
    EXPECT_TRUE(WideReal(BigFloat(long_text)) == WideReal(1.0));
}

// A made-up centre near the main antenna, 103 significant digits.
const char* const kLongCentre =
    "-1.76861049301467707450317565327022653290545947760542521438796513447187598326487451830"
    "7185413865193850717";

TEST(WideRealDecimal, RoundsToNearestAtThePrecisionItsDigitsNeed) {
    const std::string centre = kLongCentre;
    std::string padded = "  -0.000001";
    padded += centre.substr(3);
    padded += ' ';
    for (const std::string& text : {centre, centre + "e-5", padded}) {
        const WideReal value = parsed(text.c_str());
        EXPECT_EQ(value.precision(), (333 * 103 + 99) / 100 + 64);
        MpfrNumber rounded(value.precision()), high(4000);
        mpfr_strtofr(rounded.get(), text.c_str() + text.find_first_not_of(' '), nullptr, 10,
                     MPFR_RNDN);
        mpfr_strtofr(high.get(), text.c_str() + text.find_first_not_of(' '), nullptr, 10,
                     MPFR_RNDN);
        EXPECT_TRUE(mpfr_equal_p(value.get(), rounded.get())) << text;
        // Within half an ulp of the decimal itself.
        mpfr_sub(high.get(), high.get(), value.get(), MPFR_RNDN);
        mpfr_abs(high.get(), high.get(), MPFR_RNDN);
        EXPECT_LE(
            mpfr_cmp_ui_2exp(high.get(), 1, mpfr_get_exp(value.get()) - value.precision() - 1), 0);
    }
    struct Case {
        const char* text;
        double value;
        long bits;
    };
    const std::string ones(200, '1');
    for (const Case& c : {Case{"1E3", 1000.0, 192}, Case{".5", 0.5, 192}, Case{"5.", 5.0, 192},
                          Case{"+1.5e+2", 150.0, 192}, Case{"  -0 ", 0.0, 192},
                          Case{"0.000e7", 0.0, 192}, Case{ones.c_str(), 0.0, 730}}) {
        const WideReal value = parsed(c.text);
        EXPECT_EQ(value.precision(), c.bits) << c.text;
        if (c.bits == 192) {
            EXPECT_EQ(value.to_double(), c.value) << c.text;
        }
    }
    MpfrNumber tiny(192);
    mpfr_set_str(tiny.get(), "2e-1086", 10, MPFR_RNDN);
    EXPECT_TRUE(mpfr_equal_p(parsed("2e-1086").get(), tiny.get()));
}

TEST(WideRealDecimal, WritesSignificantDigitsOrTheShorterExactForm) {
    EXPECT_EQ(WideReal(0.5).to_decimal(20), "5e-1");
    EXPECT_EQ(WideReal(-1.25).to_decimal(3), "-1.25e+0");
    EXPECT_EQ(WideReal(-1.25).to_decimal(2), "-1.2e+0");  // a tie goes to even
    EXPECT_EQ(WideReal(0.1).to_decimal(5), "1.0000e-1");
    EXPECT_EQ(WideReal(1024.0).to_decimal(10), "1.024e+3");
    EXPECT_EQ(WideReal().to_decimal(5), "0");
    const char* printed = "-1.768610493014677074503e-5";
    EXPECT_EQ(parsed(printed).to_decimal(22), printed);
    // Enough digits bring back the very value.
    std::mt19937_64 rng(3);
    const std::string text = hex_form('+', random_hex(rng, 250), -40);
    const WideReal value = parsed(text.c_str());
    WideReal back = parsed(value.to_decimal(305).c_str());
    back.round_to(1000);
    EXPECT_TRUE(back == value);
}

TEST(WideRealText, RefusesMalformedAndOutOfRangeText) {
    for (const char* text : {"",
                             "   ",
                             "junk",
                             "nan",
                             "NaN",
                             "inf",
                             "-inf",
                             "1e",
                             "e5",
                             ".",
                             "+",
                             "--1",
                             "1..2",
                             "1.5 junk",
                             "1 5",
                             "0x1p3",
                             "0X1P3",
                             "1,5",
                             "+8.0x",
                             "+8.0x+",
                             "+x+1",
                             "+.x+1",
                             "+8.0.0x+1",
                             "+8.0x+1 junk",
                             "+8.0x+1x",
                             "+8.0 x+1",
                             "+8.0x +1",
                             "+8.G0x+1",
                             "+8.0x-2000000000000000000000",
                             "+8.0x+99999999999",
                             "+8.0x+1073741823",
                             "+8.0x-1073741825",
                             "1e-99999999999999999999999",
                             "1e-999999999999",
                             "1e400000000",
                             "1e-400000000"})
        EXPECT_FALSE(WideReal::parse(text).has_value()) << '"' << text << '"';
    // The ends of MPFR's default range.
    EXPECT_TRUE(WideReal::parse("+8.0x+1073741822").has_value());
    EXPECT_TRUE(WideReal::parse("+8.0x-1073741824").has_value());
    EXPECT_TRUE(WideReal::parse("1e300000000").has_value());
}

// a + k * m * 2^e at a precision no sum here can exceed.
bool equals_exact_sum(const WideReal& sum, const WideReal& a, int64_t k, ExtFloat step) {
    MpfrNumber truth(60000), offset(60000);
    mpfr_set_sj(offset.get(), k, MPFR_RNDN);
    mpfr_mul_d(offset.get(), offset.get(), step.m, MPFR_RNDN);
    mpfr_mul_2si(offset.get(), offset.get(), long(step.e), MPFR_RNDN);
    mpfr_add(truth.get(), a.get(), offset.get(), MPFR_RNDN);
    return mpfr_equal_p(sum.get(), truth.get()) != 0;
}

TEST(WideRealArithmetic, PlusScaledAndDifferenceAreExact) {
    std::mt19937_64 rng(5);
    const WideReal a = parsed(hex_form('-', random_hex(rng, 250), 0).c_str());
    const int64_t kMax = std::numeric_limits<int64_t>::max();
    const int64_t kMin = std::numeric_limits<int64_t>::min();
    struct Case {
        int64_t k;
        ExtFloat step;
    };
    for (const Case& c :
         {Case{1, ExtFloat::make(1.5, -2000)}, Case{-7, ExtFloat::make(1.25, -1100)},
          Case{kMax, ExtFloat::make(1.9999999999999998, -1200)}, Case{kMin, ExtFloat::make(1.0, 0)},
          Case{123456789, ExtFloat(1.1)}, Case{3, ExtFloat::make(-1.5, -40)},
          Case{1, ExtFloat::make(1.0, 30000)}}) {
        const WideReal sum = a.plus_scaled(c.k, c.step);
        EXPECT_TRUE(equals_exact_sum(sum, a, c.k, c.step)) << c.k << " " << c.step.e;
        EXPECT_GE(sum.precision(), a.precision());
        const WideReal back = exact_difference(sum, a);
        EXPECT_TRUE(equals_exact_sum(back, WideReal(), c.k, c.step)) << c.k << " " << c.step.e;
    }
    EXPECT_TRUE(a.plus_scaled(0, ExtFloat(1.0)) == a);
    const WideReal one_up = WideReal(1.0).plus_scaled(1, ExtFloat::make(1.0, -1000));
    EXPECT_EQ(one_up.precision(), 1001);
    EXPECT_TRUE(exact_difference(one_up, WideReal(1.0)) ==
                WideReal::from_ext(ExtFloat::make(1.0, -1000)));
    EXPECT_TRUE(exact_difference(a, a) == WideReal());
    EXPECT_EQ(exact_difference(a, a).to_hex_text(), "+0.0x+0");
}

TEST(WideRealConversion, RoundsToNearest) {
    // 1 + 2^-192 + 2^-300, and 1 + 2^-192 (a tie, to even).
    const WideReal above = parsed(hex_form('+', one_plus({{48, '8'}, {75, '8'}}), 0).c_str());
    const WideReal tie = parsed(hex_form('+', one_plus({{48, '8'}}), 0).c_str());
    const WideReal up = parsed(hex_form('+', one_plus({{47, '1'}}), 0).c_str());  // 1 + 2^-191
    EXPECT_TRUE(WideReal(above.to_big_float()) == up);
    EXPECT_TRUE(WideReal(tie.to_big_float()) == WideReal(1.0));
    EXPECT_FALSE(above.fits_big_float());
    EXPECT_EQ(above.to_double(), 1.0);
    // 1 + 2^-53 + 2^-83
    const std::string above_double = one_plus({{13, '4'}, {20, '1'}});
    EXPECT_EQ(parsed(hex_form('+', above_double, 0).c_str()).to_double(), 1.0 + 0x1p-52);
    const ExtFloat ext = parsed(hex_form('+', above_double, -30000).c_str()).to_ext();
    EXPECT_EQ(ext.m, 1.0 + 0x1p-52);
    EXPECT_EQ(ext.e, -30000);
    const ExtFloat deep = WideReal::from_ext(ExtFloat::make(-1.2345, -50000)).to_ext();
    EXPECT_EQ(deep.m, -1.2345);
    EXPECT_EQ(deep.e, -50000);
    EXPECT_EQ(WideReal().to_ext().m, 0.0);

    WideReal rounded = above;
    rounded.round_to(192);
    EXPECT_EQ(rounded.precision(), 192);
    EXPECT_TRUE(rounded.fits_big_float());
    EXPECT_EQ(WideReal(0.1, 10).precision(), 53);
    EXPECT_EQ(WideReal(0.1, 10).to_double(), 0.1);
    EXPECT_TRUE(WideReal(std::nan("")) == WideReal());
}

TEST(WideRealConversion, CentreBitsReachBelowThePixelStep) {
    EXPECT_EQ(centre_bits(WideReal(1.0), ExtFloat::make(1.0, -200)), 265);
    EXPECT_EQ(centre_bits(WideReal(1.0), ExtFloat::make(1.0, -100)), 192);
    EXPECT_EQ(centre_bits(WideReal(-1.75), ExtFloat::make(1.5, -20000)), 20065);
    EXPECT_EQ(centre_bits(WideReal(1e-10), ExtFloat(1e-3)), 192);
    EXPECT_EQ(centre_bits(WideReal(), ExtFloat::make(1.0, -20000)), 192);
    EXPECT_EQ(centre_bits(WideReal(1.0), ExtFloat::make(1.0, std::numeric_limits<int64_t>::min())),
              WideReal::kMaxBits);
}

std::vector<uint8_t> stored(const WideReal& value) {
    std::vector<uint8_t> bytes;
    value.store(bytes);
    return bytes;
}

TEST(WideRealStoredForm, KeepsItsLayout) {
    const std::vector<uint8_t> bytes = stored(WideReal(-3.0, 53));
    const std::vector<uint8_t> expected = {53, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0,   0,
                                           2,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0};
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(stored(WideReal()).size(), 17u);
}

TEST(WideRealStoredForm, RoundTripsAndRefusesMalformedInput) {
    std::mt19937_64 rng(13);
    std::vector<WideReal> values = {WideReal(), WideReal(-0.1), WideReal(1.0, 1000)};
    for (const long bits : {192L, 1000L, 20000L})
        values.push_back(parsed(hex_form('-', random_hex(rng, size_t(bits / 4)), -bits).c_str()));
    values.back().round_to(19999);
    std::vector<uint8_t> all;
    for (const WideReal& v : values) v.store(all);
    size_t at = 0;
    for (const WideReal& v : values) {
        WideReal back;
        const size_t used = WideReal::load(all.data() + at, all.size() - at, back);
        ASSERT_EQ(used, stored(v).size());
        EXPECT_TRUE(back == v);
        EXPECT_EQ(back.precision(), v.precision());
        at += used;
    }
    EXPECT_EQ(at, all.size());

    // Every cut short, in a buffer of exactly that size.
    const std::vector<uint8_t> full = stored(values[4]);
    for (size_t n = 0; n < full.size(); ++n) {
        const std::vector<uint8_t> cut(full.begin(), full.begin() + long(n));
        WideReal untouched(2.0);
        EXPECT_EQ(WideReal::load(cut.data(), n, untouched), 0u) << n;
        EXPECT_TRUE(untouched == WideReal(2.0));
    }
    auto refused = [&](std::vector<uint8_t> bytes, size_t at, uint64_t value, int width) {
        for (int i = 0; i < width; ++i) bytes[at + size_t(i)] = uint8_t(value >> (8 * i));
        WideReal out;
        return WideReal::load(bytes.data(), bytes.size(), out) == 0;
    };
    const std::vector<uint8_t> bytes = stored(values[4]);  // 1000 bits: 24 unused bits
    EXPECT_FALSE(refused(bytes, 0, 1000, 4));
    EXPECT_TRUE(refused(bytes, 0, 0, 4));                    // no precision
    EXPECT_TRUE(refused(bytes, 0, (1u << 24) + 1, 4));       // beyond the cap
    EXPECT_TRUE(refused(bytes, 0, 900, 4));                  // the count is for 1000 bits
    EXPECT_TRUE(refused(bytes, 4, 2, 1));                    // sign
    EXPECT_TRUE(refused(bytes, 13, 31, 4));                  // count
    EXPECT_TRUE(refused(bytes, 5, uint64_t(1) << 40, 8));    // exponent beyond MPFR
    EXPECT_TRUE(refused(bytes, 5, uint64_t(INT64_MAX), 8));  // exponent at int64's end
    EXPECT_TRUE(refused(bytes, 17, bytes[17] | 1u, 1));      // a bit below the precision
    EXPECT_TRUE(refused(bytes, bytes.size() - 1, 0x7F, 1));  // top bit clear
    EXPECT_TRUE(refused(stored(WideReal()), 5, 1, 8));       // zero with an exponent
    std::vector<uint8_t> longer = bytes;
    longer.resize(bytes.size() + 4);
    EXPECT_TRUE(refused(longer, 13, 33, 4));  // count one word too many
}

TEST(WideRealRadius, ParsesDecimalAndExactHexadecimalForms) {
    MpfrNumber truth(53);
    mpfr_set_str(truth.get(), "1e-5000", 10, MPFR_RNDN);
    long e = 0;
    const double half = mpfr_get_d_2exp(&e, truth.get(), MPFR_RNDN);
    const std::optional<ExtFloat> deep = parse_radius(" 1e-5000 ");
    ASSERT_TRUE(deep.has_value());
    EXPECT_EQ(deep->m, 2.0 * half);
    EXPECT_EQ(deep->e, e - 1);
    EXPECT_EQ(parse_radius("2.5")->m, 1.25);
    EXPECT_EQ(parse_radius("2.5")->e, 1);
    // 1 + 2^-53 goes to even, a little more goes up.
    EXPECT_EQ(parse_radius(hex_form('+', one_plus({{13, '4'}}), 0))->m, 1.0);
    EXPECT_EQ(parse_radius(hex_form('+', one_plus({{13, '4'}, {20, '1'}}), 0))->m, 1.0 + 0x1p-52);
    EXPECT_EQ(radius_hex_text(ExtFloat(1.0)), "+8.0x+0");
    EXPECT_EQ(radius_hex_text(ExtFloat(0.0)), "+0.0x+0");

    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> significand(1.0, 2.0);
    for (const int64_t exponent : {int64_t(0), int64_t(-16600), int64_t(1) << 40,
                                   -(int64_t(1) << 62), int64_t(1000000000000000)}) {
        const ExtFloat radius = ExtFloat::make(significand(rng), exponent);
        const std::optional<ExtFloat> back = parse_radius(radius_hex_text(radius));
        ASSERT_TRUE(back.has_value()) << radius_hex_text(radius);
        EXPECT_EQ(back->m, radius.m);
        EXPECT_EQ(back->e, radius.e);
    }
    for (const char* text : {"", "abc", "1e", "nan", "inf", "1.5.2", "+8.0x-2000000000000000000000",
                             "1e-999999999999"})
        EXPECT_FALSE(parse_radius(text).has_value()) << text;
}

}  // namespace
}  // namespace quorvel
