// BigFloat arithmetic against the exact GMP reference, and the edge cases of
// the rounding rules.
#include <gtest/gtest.h>

#include <vector>

#include "bigfloat/big_float.h"
#include "oracle.h"

namespace quorvel {
namespace {

using oracle::make;
using oracle::same;
using oracle::words;

// +=, -=, *= and squaring, and where |a| < |b| the magnitude primitives.
void check(const BigFloat& a, const BigFloat& b) {
    const oracle::Ref ra = oracle::ref(a), rb = oracle::ref(b);
    BigFloat p = a, q = a, s = a, d = a;
    p *= b;
    q *= q;
    auto ops = [&] { return words(a) + " and " + words(b); };  // only built on failure
    EXPECT_TRUE(same(oracle::plus(ra, rb).to_big_float(), a + b)) << " sum of " << ops();
    EXPECT_TRUE(same(oracle::minus(ra, rb).to_big_float(), a - b)) << " difference of " << ops();
    EXPECT_TRUE(same(oracle::multiply(ra, rb).to_big_float(), p)) << " product of " << ops();
    EXPECT_TRUE(same(oracle::square(ra).to_big_float(), q)) << " square of " << ops();
    if (compare_magnitude(a, b) != 2) return;
    add_magnitudes(s, b);
    subtract_magnitudes(d, b);
    EXPECT_TRUE(same(oracle::magnitudes(ra, rb, false).to_big_float(), s)) << ops();
    EXPECT_TRUE(same(oracle::magnitudes(ra, rb, true).to_big_float(), d)) << ops();
}

TEST(BigFloatArithmetic, RandomOperandsMatchReference) {
    oracle::Operands gen{std::mt19937_64(1)};
    const int distances[] = {0,   1,   2,   3,   31,  32,  33,  63,  64,  65,  127,
                             128, 129, 190, 191, 192, 193, 255, 256, 257, 1000};
    for (int round = 0; round < 100000 && !HasFailure(); ++round) {
        // b below a, above a, near a (cancellation), or just below a at distance 1.
        const int kind = round % 4, e = int(gen.rng() % 41) - 20;
        const int d = gen.rng() % 2 ? distances[gen.rng() % std::size(distances)] : gen.rng() % 200;
        BigFloat a = gen.value(e);
        const int exponents[] = {e - d, e + d, e, e - 1};
        BigFloat b = kind == 2 ? gen.near(a) : gen.value(exponents[kind]);
        if (kind == 3) {
            a.mant[5] = 0x80000000u | (a.mant[5] & 0xFu);
            b.mant[5] = 0xFFFFFFF0u | (b.mant[5] & 0xFu);
            b.negative = a.negative;
        }
        check(a, b);
    }
}

TEST(BigFloatArithmetic, AwkwardWordPatternsMatchReference) {
    std::vector<BigFloat> cases = {
        make(~0u, ~0u, ~0u, ~0u, ~0u, ~0u, 0), make(~0u, ~0u, ~0u, ~0u, ~0u, 0, 0),
        make(0x80000000u, 0, 0, 0, 0, 0, 0), make(0xFFFFFFFFu, 0, 0, 0, 0, 0, -2)};
    // (2^191 + 2^32k + a0) x (2^192 - 1) runs ones down to bit 32, so the kept
    // upper half of a.mant[0] x b.mant[0] decides the rounding bit.
    for (uint32_t k = 0; k < 4; ++k)
        for (uint32_t a0 : {0u, 1u, 0x10000u, 0x80000000u, 0xFFFFFFFFu})
            cases.push_back(make(0x80000000u, 0, 0, 0, k, a0, 1));
    for (const BigFloat& a : cases)
        for (BigFloat b : cases)
            for (int shift : {0, 1, 2, 64, 191, 192, 193})
                for (uint32_t sign : {0u, 1u}) {
                    b.exponent = a.exponent - shift;
                    b.negative = sign;
                    check(a, b);
                }
}

TEST(BigFloatArithmetic, EdgeCases) {
    const BigFloat one(1.0), x(-3.75), zero, tiny(0x1p-192), tinier(0x1p-193);
    // mant[5] == 0 counts as zero; its other words are never read.
    const BigFloat junk = make(0, 0x1234u, 0, 0, 0, 7, 12, 1);
    auto product = [](BigFloat a, const BigFloat& b) { return a *= b; };
    auto square = [](BigFloat a) { return a *= a; };
    auto expect = [](const BigFloat& want, std::initializer_list<BigFloat> got) {
        int i = 0;
        for (const BigFloat& g : got) EXPECT_TRUE(same(want, g)) << "item " << i++;
    };
    expect(make(0x80000000u, 0, 0, 0, 0, 1, 0), {one + tiny});  // a tie rounds up
    expect(one, {one + tinier, one - tiny});                    // differences truncate
    expect(zero, {x + BigFloat(3.75), x - x, product(zero, x), product(x, zero)});
    expect(BigFloat(-7.5), {x + x, x - BigFloat(3.75)});
    expect(x, {x + junk, junk + x});
    expect(junk, {square(junk)});
    expect(BigFloat(3.75), {zero - x});
    expect(BigFloat(9.0), {square(BigFloat(3.0))});
    expect(BigFloat(-3.75), {product(BigFloat(-1.5), BigFloat(2.5))});
    expect(BigFloat(2.25), {square(BigFloat(-1.5))});
    EXPECT_EQ(compare_magnitude(one, BigFloat(-1.0)), 0);
    EXPECT_EQ(compare_magnitude(BigFloat(0.75), BigFloat(-1.5)), 2);
    EXPECT_EQ(compare_magnitude(make(0x80000000u, 0, 0, 0, 0, 1, 0), one), 1);  // lowest word
}

}  // namespace
}  // namespace quorvel
