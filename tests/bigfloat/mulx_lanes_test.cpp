// The mulx/adx form of the lane arithmetic, where the processor has BMI2 and
// ADX: its products against the GMP reference, and its kernels against the
// default ones, counts and paused orbits alike.
#define QV_LANES_MULX 1
#include <gtest/gtest.h>

#include "bigfloat/big_float_lanes.h"
#include "bigfloat/orbit_batch.h"
#include "oracle.h"

namespace quorvel {
namespace {

// The kernels themselves say whether the processor has BMI2 and ADX.
bool has_mulx() {
    const SimdLevel before = active_simd_level();
    set_simd_level(SimdLevel::sse2);
    const bool has = big_float_uses_mulx();
    set_simd_level(before);
    return has;
}

TEST(MulxLanes, MatchReferenceAndDefaultKernels) {
    if (!QV_LANES_USE_MULX || !has_mulx()) GTEST_SKIP() << "no BMI2/ADX";
    oracle::Operands gen{std::mt19937_64(23)};
    for (int round = 0; round < 30000; ++round) {
        const BigFloat a = gen.value(int32_t(gen.rng() % 9) - 4);
        const BigFloat b = gen.value(a.exponent - int32_t(gen.rng() % 140) + 4);
        const oracle::Ref ra = oracle::ref(a), rb = oracle::ref(b);
        BigFloat product, square;
        lanes::store(product, lanes::mul(lanes::from(a), lanes::from(b)));
        lanes::store(square, lanes::square(lanes::from(a)));
        ASSERT_TRUE(oracle::same(oracle::multiply(ra, rb).to_big_float(), product))
            << oracle::words(a) << oracle::words(b);
        ASSERT_TRUE(oracle::same(oracle::square(ra).to_big_float(), square)) << oracle::words(a);
    }
    // Operands with every bit set carry through every lane.
    BigFloat ones;
    for (uint32_t& w : ones.mant) w = 0xFFFFFFFFu;
    BigFloat r;
    lanes::store(r, lanes::square(lanes::from(ones)));
    EXPECT_TRUE(oracle::same(oracle::square(oracle::ref(ones)).to_big_float(), r));

    // The kernels, whole and paused, against the default form.
    const SimdLevel before = active_simd_level();
    for (int i = 0; i < 300; ++i) {
        const BigFloat cx = BigFloat(-0.7436438870371587) + gen.value(-20 - int(gen.rng() % 20));
        const BigFloat cy = BigFloat(0.1318259042053120) + gen.value(-20 - int(gen.rng() % 20));
        set_simd_level(SimdLevel::scalar);
        ASSERT_FALSE(big_float_uses_mulx());
        const uint32_t want = iterate_big_float(3000, cx, cy);
        ASSERT_EQ(iterate_big_float_mulx(3000, cx, cy), want);
        BigOrbit orbit;
        Budget budget;
        budget.max_steps = 256;
        while (!iterate_big_float_resumable_mulx(3000, cx, cy, orbit, budget)) {
        }
        ASSERT_EQ(orbit.n, want);
    }
    set_simd_level(before);
}

}  // namespace
}  // namespace quorvel
