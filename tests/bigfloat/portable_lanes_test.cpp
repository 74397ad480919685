// The plain C++ form of the lane arithmetic (used where the x86-64 assembly is
// not), checked against the GMP reference like the default build.
#define QV_BIGFLOAT_PORTABLE 1
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "bigfloat/big_float_lanes.h"
#include "oracle.h"

namespace quorvel {
namespace {

static_assert(QV_LANES_X86_ASM == 0);

bool same_words(const BigFloat& a, const BigFloat& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

BigFloat random_value(std::mt19937_64& rng, int32_t e) {
    BigFloat b;
    for (uint32_t& w : b.mant) {
        const unsigned kind = unsigned(rng() % 6);
        w = kind == 0 ? 0 : kind == 1 ? 0xFFFFFFFFu : uint32_t(rng());
    }
    b.mant[5] |= 0x80000000u;
    b.exponent = e;
    b.negative = uint32_t(rng() & 1);
    return b;
}

TEST(PortableLanes, MatchReference) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 30000; ++round) {
        const BigFloat a = random_value(rng, int32_t(rng() % 9) - 4);
        const BigFloat b = random_value(rng, a.exponent - int32_t(rng() % 140) + 4);
        const oracle::Ref ra(a), rb(b);
        BigFloat r;
        lanes::store(r, lanes::mul(lanes::from(a), lanes::from(b)));
        ASSERT_TRUE(same_words(oracle::multiply(ra, rb, false).to_big_float(), r));
        lanes::store(r, lanes::square(lanes::from(a)));
        ASSERT_TRUE(same_words(oracle::multiply(ra, ra, true).to_big_float(), r));
        lanes::store(r, lanes::add(lanes::from(a), lanes::from(b)));
        ASSERT_TRUE(same_words(oracle::plus(ra, rb).to_big_float(), r));
        lanes::store(r, lanes::add(lanes::from(a), lanes::negated(lanes::from(b))));
        ASSERT_TRUE(same_words(oracle::minus(ra, rb).to_big_float(), r));
    }
}

}  // namespace
}  // namespace quorvel
