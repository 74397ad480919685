// The two escape-time kernels.
#include <gtest/gtest.h>

#include <random>

#include "bigfloat/big_float.h"
#include "oracle.h"

namespace quorvel {
namespace {

uint32_t both(uint32_t limit, double cx, double cy) {
    const uint32_t d = iterate_double(limit, cx, cy);
    const uint32_t b = iterate_big_float(limit, BigFloat(cx), BigFloat(cy));
    EXPECT_EQ(d, b) << "c = " << cx << " + " << cy << "i";
    return d;
}

// The kernel's step order, run on the GMP reference operations.
uint32_t reference_kernel(uint32_t limit, const BigFloat& cx, const BigFloat& cy) {
    const oracle::Ref c_re(cx), c_im(cy);
    oracle::Ref x = c_re, y = c_im;
    uint32_t n = 1;
    for (;;) {
        const oracle::Ref t = oracle::multiply(y, y, true);
        y = oracle::multiply(y, x, false);
        y.e += 1;
        y = oracle::plus(y, c_im);
        x = oracle::multiply(x, x, true);
        const oracle::Ref s = oracle::plus(x, t);
        if (s.neg == 0 && s.e > 1) return n;
        ++n;
        x = oracle::minus(x, t);
        x = oracle::plus(x, c_re);
        if (n >= limit) return n;
    }
}

TEST(Kernels, KnownPoints) {
    for (uint32_t limit : {150u, 1000u}) {
        EXPECT_EQ(both(limit, 0.0, 0.0), limit);
        EXPECT_EQ(both(limit, 0.25, 0.0), limit);
        EXPECT_EQ(both(limit, 0.0, 1.0), limit);
        EXPECT_EQ(both(limit, 0.3, 0.5), limit);
        EXPECT_EQ(both(limit, -1.0, 0.0), limit);
    }
    EXPECT_EQ(both(1000, 2.0, 0.0), 1u);  // |z1|^2 == 4 escapes
    EXPECT_EQ(both(1000, -2.0, 0.0), 1u);
    EXPECT_EQ(both(1000, 0.0, 2.0), 1u);
    EXPECT_EQ(both(1000, 1.0, 0.0), 2u);
    EXPECT_EQ(both(1000, 0.5, 0.0), 5u);
    EXPECT_EQ(both(1000, -0.75, 0.1), 33u);
    EXPECT_EQ(both(20, -0.75, 0.1), 20u);  // limit reached first
    EXPECT_EQ(both(1, 0.0, 0.0), 2u);      // the first test is always made
    EXPECT_EQ(both(0, 3.0, 0.0), 1u);
}

// Every product rounded to double on its own: what the kernel must compute
// whatever the compiler flags (a fused multiply-add changes counts).
uint32_t unfused_double_kernel(uint32_t limit, double cx, double cy) {
    double x = cx, y = cy;
    uint32_t n = 1;
    for (;;) {
        volatile double xx = x * x, yy = y * y, xy = x * y;
        const double r = xx + yy;
        const double y_next = (xy + xy) + cy;
        if (r >= 4.0) return n;
        ++n;
        x = (xx - yy) + cx;
        y = y_next;
        if (n >= limit) return n;
    }
}

TEST(Kernels, DoubleKernelRoundsEveryProduct) {
    // Boundary points with long chaotic orbits, where a contraction would show.
    std::mt19937_64 rng(9);
    for (int i = 0; i < 3000; ++i) {
        const double cx = -0.7436438870371587 + double(int(rng() % 20001) - 10000) * 1e-9;
        const double cy = 0.1318259042053120 + double(int(rng() % 20001) - 10000) * 1e-9;
        ASSERT_EQ(iterate_double(3000, cx, cy), unfused_double_kernel(3000, cx, cy));
    }
}

TEST(Kernels, BigFloatAgreesWithDoubleOnShallowPoints) {
    // Away from the boundary both precisions see the same orbit; near it the
    // last iteration may differ, so only a small share may disagree.
    int total = 0, differ = 0;
    for (double cy = -1.2; cy <= 1.2; cy += 0.0371)
        for (double cx = -2.1; cx <= 0.6; cx += 0.0433) {
            ++total;
            differ +=
                iterate_double(64, cx, cy) != iterate_big_float(64, BigFloat(cx), BigFloat(cy));
        }
    EXPECT_GT(total, 3000);
    EXPECT_LE(differ, total / 200);
}

TEST(Kernels, BigFloatKernelMatchesReferenceOperations) {
    // Points near the boundary at a fine offset: chaotic orbits, many
    // cancellations, a bit-for-bit comparison of every step's rounding.
    std::mt19937_64 rng(5);
    BigFloat offset;
    for (int i = 0; i < 40; ++i) {
        BigFloat cx(-0.743643887037158704752191506114774), cy(0.131825904205311970493132056385139);
        offset = BigFloat(double(rng() % 1000) * 1e-12);
        offset.mant[1] = uint32_t(rng());
        offset.mant[0] = uint32_t(rng());
        cx += offset;
        cy -= offset;
        const uint32_t limit = 400;
        EXPECT_EQ(iterate_big_float(limit, cx, cy), reference_kernel(limit, cx, cy));
    }
    for (int i = 0; i < 200; ++i) {
        const BigFloat cx(double(int(rng() % 3000)) / 1000.0 - 2.0);
        const BigFloat cy(double(int(rng() % 2400)) / 1000.0 - 1.2);
        EXPECT_EQ(iterate_big_float(300, cx, cy), reference_kernel(300, cx, cy));
    }
}

}  // namespace
}  // namespace quorvel
