// The plain C++ form of the lane arithmetic (used where the x86-64 assembly is
// not), checked against the GMP reference like the default build.
#define QV_BIGFLOAT_PORTABLE 1
#include <gtest/gtest.h>

#include "bigfloat/big_float_lanes.h"
#include "oracle.h"

namespace quorvel {
namespace {

static_assert(QV_LANES_X86_ASM == 0);

TEST(PortableLanes, MatchReference) {
    oracle::Operands gen{std::mt19937_64(17)};
    for (int round = 0; round < 30000; ++round) {
        const BigFloat a = gen.value(int32_t(gen.rng() % 9) - 4);
        const BigFloat b = gen.value(a.exponent - int32_t(gen.rng() % 140) + 4);
        const oracle::Ref ra = oracle::ref(a), rb = oracle::ref(b);
        const lanes::Num la = lanes::from(a), lb = lanes::from(b);
        const std::pair<oracle::Ref, lanes::Num> cases[] = {
            {oracle::multiply(ra, rb), lanes::mul(la, lb)},
            {oracle::square(ra), lanes::square(la)},
            {oracle::plus(ra, rb), lanes::add(la, lb)},
            {oracle::minus(ra, rb), lanes::add(la, lanes::negated(lb))}};
        for (const auto& [expected, got] : cases) {
            BigFloat r;
            lanes::store(r, got);
            ASSERT_TRUE(oracle::same(expected.to_big_float(), r))
                << oracle::words(a) << oracle::words(b);
        }
    }
}

}  // namespace
}  // namespace quorvel
