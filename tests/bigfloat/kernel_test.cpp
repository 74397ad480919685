// The two escape-time kernels.
#include <gtest/gtest.h>

#include <random>

#include "bigfloat/big_float.h"
#include "oracle.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

// The kernel's step order, run on the GMP reference operations.
uint32_t reference_kernel(uint32_t limit, const BigFloat& cx, const BigFloat& cy) {
    const oracle::Ref c_re = oracle::ref(cx), c_im = oracle::ref(cy);
    oracle::Ref x = c_re, y = c_im;
    for (uint32_t n = 1;;) {
        const oracle::Ref t = oracle::square(y);
        y = oracle::multiply(y, x);
        y.e += 1;
        y = oracle::plus(y, c_im);
        x = oracle::square(x);
        const oracle::Ref s = oracle::plus(x, t);
        if (s.neg == 0 && s.e > 1) return n;
        if (++n >= limit) return n;
        x = oracle::plus(oracle::minus(x, t), c_re);
    }
}

// The count both kernels and the reference agree on.
uint32_t count(uint32_t limit, double cx, double cy) {
    const uint32_t n = iterate_double(limit, cx, cy);
    EXPECT_EQ(iterate_big_float(limit, BigFloat(cx), BigFloat(cy)), n) << cx << " + " << cy << "i";
    EXPECT_EQ(reference_kernel(limit, BigFloat(cx), BigFloat(cy)), n) << cx << " + " << cy << "i";
    return n;
}

TEST(Kernels, KnownPoints) {
    for (uint32_t limit : {150u, 1000u})
        for (auto [cx, cy] :
             {std::pair{0.0, 0.0}, {0.25, 0.0}, {0.0, 1.0}, {0.3, 0.5}, {-1.0, 0.0}})
            EXPECT_EQ(count(limit, cx, cy), limit);
    for (auto [cx, cy] : {std::pair{2.0, 0.0}, {-2.0, 0.0}, {0.0, 2.0}})
        EXPECT_EQ(count(1000, cx, cy), 1u);
    EXPECT_EQ(count(1000, 1.0, 0.0), 2u);
    EXPECT_EQ(count(1000, 0.5, 0.0), 5u);
    EXPECT_EQ(count(1000, -0.75, 0.1), 33u);
    EXPECT_EQ(count(20, -0.75, 0.1), 20u);  // limit reached first
    EXPECT_EQ(count(1, 0.0, 0.0), 2u);      // the first test is always made
    EXPECT_EQ(count(0, 3.0, 0.0), 1u);
}

TEST(Kernels, MatchReferencesNearTheBoundary) {
    // Chaotic orbits with many cancellations: every step's rounding counts.
    std::mt19937_64 rng(5);
    for (int i = 0; i < 3000; ++i) {
        const double cx = -0.7436438870371587 + double(int(rng() % 20001) - 10000) * 1e-9;
        const double cy = 0.1318259042053120 + double(int(rng() % 20001) - 10000) * 1e-9;
        // The reference rounds every product on its own, whatever the flags: a
        // fused multiply-add in the kernel would change counts here.
        ASSERT_EQ(iterate_double(3000, cx, cy), qvtest::reference_escape(cx, cy, 3000));
    }
    // Anywhere on the plane, or at a fine offset from the boundary, with all
    // 192 bits in use.
    oracle::Operands gen{std::mt19937_64(5)};
    for (int i = 0; i < 300; ++i) {
        BigFloat cx = gen.value(int(gen.rng() % 5) - 3), cy = gen.value(int(gen.rng() % 5) - 3);
        if (i % 4 == 0) {
            cx = BigFloat(-0.7436438870371587) + gen.value(-30 - int(gen.rng() % 10));
            cy = BigFloat(0.1318259042053120) + gen.value(-30 - int(gen.rng() % 10));
        }
        EXPECT_EQ(iterate_big_float(400, cx, cy), reference_kernel(400, cx, cy));
    }
}

// An orbit that repeats bit for bit ends at the limit at once; every count
// stays that of the reference, which has no cycle detection.
TEST(Kernels, RepeatingOrbitsEndAtTheLimitAtOnce) {
    const std::pair<double, double> inside[] = {{-0.1, 0.0},  {-1.0, 0.0}, {-0.12, 0.75},
                                                {-1.3, 0.05}, {0.2, 0.3},  {-0.7, 0.2}};
    std::mt19937_64 rng(7);
    for (int i = 0; i < 40; ++i) {
        const double cx = -0.75 + double(int(rng() % 2001) - 1000) * 1e-4;
        const double cy = 0.1 + double(int(rng() % 2001) - 1000) * 1e-4;
        EXPECT_EQ(iterate_big_float(5000, BigFloat(cx), BigFloat(cy)),
                  reference_kernel(5000, BigFloat(cx), BigFloat(cy)))
            << cx << " + " << cy << "i";
    }
    for (auto [cx, cy] : inside) {
        EXPECT_EQ(count(5000, cx, cy), 5000u);
        EXPECT_EQ(iterate_big_float(4000000000u, BigFloat(cx), BigFloat(cy)), 4000000000u);
    }
}

}  // namespace
}  // namespace quorvel
