// BigFloat construction, conversion to double, text form and stored form.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "bigfloat/big_float.h"
#include "oracle.h"

namespace quorvel {
namespace {

using oracle::same;

std::string text(const BigFloat& b) {
    char buf[63];
    b.to_text(buf);
    return buf;
}

TEST(BigFloatConversion, DoublesConvertExactlyBothWays) {
    EXPECT_TRUE(same(BigFloat(), BigFloat(-0.0)));
    std::mt19937_64 rng(7);
    for (int i = 0; i < 10000; ++i) {
        const double d = std::ldexp(double(rng() >> 11) / 0x1p53 + 0.5, int(rng() % 200) - 100);
        for (double v : {d, -d}) EXPECT_EQ(BigFloat(v).to_double(), v);
    }
    // Bits below the double's precision are truncated; mant[5] == 0 reads as +0.
    EXPECT_EQ(oracle::make(0x80000000u, 0x00000FFFu, 0, 0, 0, 1, 0, 1).to_double(), -(1 + 0x1p-52));
    EXPECT_FALSE(std::signbit(oracle::make(0, 5, 0, 0, 0, 0, 0, 1).to_double()));
    // Out of the double's range the exponent saturates, never wraps: infinity
    // above, truncated subnormals and then zero below.
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<int32_t, double> range[] = {
        {1023, 0x1.8p1023},   {1024, inf},          {INT32_MAX, inf},
        {-1022, 0x1.8p-1022}, {-1023, 0x1.8p-1023}, {-1074, 0x1p-1074},
        {-1075, 0.0},         {-2000000000, 0.0},   {INT32_MIN, 0.0}};
    for (auto [exponent, value] : range) {
        for (uint32_t negative : {0u, 1u}) {
            const BigFloat b = oracle::make(0xC0000000u, 0, 0, 0, 0, 0, exponent, negative);
            EXPECT_EQ(b.to_double(), negative ? -value : value) << exponent;
        }
    }
    EXPECT_EQ(oracle::make(0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0, 0, 0, -1030, 0).to_double(),
              0x1p-1029 - 0x1p-1074);
}

TEST(BigFloatConversion, TextFormTable) {
    const std::pair<double, const char*> table[] = {
        {1.0, "+8.0x+0"},   {0.5, "+8.0x-1"}, {-1.25, "-A.0x+0"},          {3.0, "+C.0x+1"},
        {-0.75, "-C.0x-1"}, {0.0, "+0.0x+0"}, {0.1, "+C.CCCCCCCCCCCDx-4"}, {-0.0, "+0.0x+0"}};
    for (auto [d, t] : table) EXPECT_EQ(text(BigFloat(d)), t);
    const BigFloat full = oracle::make(~0u, ~0u, ~0u, ~0u, ~0u, ~0u, INT32_MIN, 1);
    EXPECT_EQ(text(full), "-F." + std::string(47, 'F') + "x-2147483648");  // 62 bytes + NUL
}

TEST(BigFloatConversion, TextRoundTripsRandomValues) {
    oracle::Operands gen{std::mt19937_64(11)};
    for (int i = 0; i < 20000 && !HasFailure(); ++i) {
        const BigFloat b = gen.value(int32_t(gen.rng() % 2001) - 1000);
        EXPECT_TRUE(same(b, BigFloat(text(b).c_str()))) << text(b);
    }
}

TEST(BigFloatConversion, ReadingRules) {
    auto reads_as = [](double d, std::initializer_list<const char*> texts) {
        for (const char* t : texts) EXPECT_TRUE(same(BigFloat(d), BigFloat(t))) << (t ? t : "null");
    };
    // Decimal without an 'x' (an upper-case X too); sign, point and exponent
    // digits optional; digits end at the first other character; a blank
    // after the sign leaves no digits; a point after two digits adds 4 to the
    // exponent, a point first takes 4 off; a small top digit or leading zeros
    // are normalised away.
    reads_as(0.5, {"0.5", "+8.0x-1", "+4.0x+0"});
    reads_as(8.0, {"+8.0X+0", "+8.0zzzx+3"});
    reads_as(1.0, {"+8x+0", "+8.0x", "+1.0x+3"});
    reads_as(3.0, {"C.0x+1", "+c.0x+1"});
    reads_as(-1.25, {" \t-A.0x+0"});
    reads_as(21.0, {"+A8.0x+0"});
    reads_as(0.0625, {"+.8x+0"});
    reads_as(-0.005859375, {"-0.0Cx+0"});
    reads_as(0.1875, {"+000000000001.8x+0"});
    reads_as(0.0, {"- 8.0x+0", "+0.0x+0", "-0.000x+7", nullptr});

    // Exponents saturate at the 32-bit range, the normalising shift included.
    EXPECT_TRUE(
        same(oracle::make(0x80000000u, 0, 0, 0, 0, 0, INT32_MIN, 0), BigFloat("+0.1x-2147483648")));
    EXPECT_TRUE(same(oracle::make(0x80000000u, 0, 0, 0, 0, 0, INT32_MIN, 1),
                     BigFloat("-8.0x-99999999999")));
    EXPECT_TRUE(same(oracle::make(0x80000000u, 0, 0, 0, 0, 0, INT32_MAX, 0),
                     BigFloat(("+1" + std::string(40, '0') + ".x+2147483647").c_str())));
    EXPECT_TRUE(same(oracle::make(0x80000000u, 0, 0, 0, 0, 0, -2000000000, 0),
                     BigFloat("+8.0x-2000000000")));

    // 48 digits fill the significand; later digits and a point after them are ignored.
    EXPECT_TRUE(same(oracle::make(0x80000000u, 0, 0, 0, 0, 1, 0),
                     BigFloat(("+8" + std::string(46, '0') + "1F.x+0").c_str())));
    EXPECT_TRUE(same(oracle::make(~0u, ~0u, ~0u, ~0u, ~0u, ~0u - 3, 3),
                     BigFloat(("+3." + std::string(47, 'F') + "x+5").c_str())));
}

// A numeric locale whose decimal point is a comma: an installed one, else one
// made for the test with localedef. False when neither can be had.
bool use_comma_locale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_NUMERIC, name) != nullptr) return true;
    const std::string dir = "/tmp/qv_locale_" + std::to_string(::getpid());
    if (::mkdir(dir.c_str(), 0700) != 0) return false;
    if (std::FILE* f = std::fopen((dir + "/comma.src").c_str(), "w")) {
        std::fputs(
            "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\ngrouping -1\n"
            "END LC_NUMERIC\n",
            f);
        std::fclose(f);
    }
    const std::string make =
        "localedef -c -i " + dir + "/comma.src -f UTF-8 " + dir + "/comma >/dev/null 2>&1";
    [[maybe_unused]] const int status = std::system(make.c_str());
    ::setenv("LOCPATH", dir.c_str(), 1);
    const bool ok = std::setlocale(LC_NUMERIC, "comma") != nullptr;
    ::unsetenv("LOCPATH");
    [[maybe_unused]] const int removed = std::system(("rm -rf " + dir).c_str());
    return ok;
}

// Decimal text is read as atof reads it in the "C" locale, whatever the
// process's locale: blanks, one sign, the longest number, out-of-range values
// to infinity or zero.
TEST(BigFloatConversion, DecimalTextIgnoresTheLocale) {
    const std::pair<const char*, double> cases[] = {
        {"0.5", 0.5},        {" \n+2.5e1", 25.0},     {"-.5", -0.5},   {"7.25junk", 7.25},
        {"1e400", HUGE_VAL}, {"-1e99999", -HUGE_VAL}, {"1e-400", 0.0}, {"1e-99999", 0.0},
        {"+-1", 0.0},        {"0X1P3", 8.0},          {"", 0.0},       {"1,5", 1.0}};
    auto check = [&](const char* locale) {
        for (auto [t, d] : cases) EXPECT_TRUE(same(BigFloat(d), BigFloat(t))) << t << " " << locale;
    };
    check("C");
    if (!use_comma_locale()) GTEST_SKIP() << "no locale with a decimal comma";
    EXPECT_EQ(std::atof("0.5"), 0.0);  // the comma locale is in effect
    check("comma");
    std::setlocale(LC_NUMERIC, "C");
}

TEST(BigFloatConversion, StoredFormIsLittleEndianWords) {
    const BigFloat b = oracle::make(0xA0000000u, 0, 0, 0, 0, 0x04030201u, -1, 1);
    // Eight little-endian words: mant[0] to mant[5], the exponent, the sign.
    const uint8_t expected[32] = {1, 2, 3, 4, 0, 0, 0, 0,    0,    0,    0,    0,    0, 0, 0, 0,
                                  0, 0, 0, 0, 0, 0, 0, 0xA0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0};
    uint8_t bytes[32];
    b.store(bytes);
    EXPECT_EQ(std::memcmp(bytes, expected, 32), 0);
    EXPECT_TRUE(same(b, BigFloat::load(bytes)));
}

}  // namespace
}  // namespace quorvel
