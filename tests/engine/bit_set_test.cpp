// The per-pixel marks: runs set whole words at a time against bits set one by
// one, across word boundaries.
#include "base/bit_set.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorvel {
namespace {

TEST(BitSet, RunsSetExactlyTheirBits) {
    constexpr size_t kBits = 200;  // four words, the last one partly used
    for (size_t a = 0; a <= kBits; ++a) {
        for (size_t b = 0; b <= kBits; ++b) {
            BitSet bits;
            bits.assign(kBits);
            bits.set(a == 7 ? 150 : 7);  // a bit set before stays set
            bits.set_range(a, b);
            for (size_t i = 0; i < kBits; ++i) {
                const bool expected = (a <= i && i < b) || i == (a == 7 ? 150u : 7u);
                ASSERT_EQ(bits.test(i), expected) << "run " << a << ".." << b << ", bit " << i;
            }
        }
    }
}

TEST(BitSet, AssignClearsAndSizes) {
    BitSet bits;
    EXPECT_TRUE(bits.empty());
    bits.assign(65);
    EXPECT_FALSE(bits.empty());
    bits.set_range(0, 65);
    EXPECT_TRUE(bits.test(64));
    bits.assign(65);
    for (size_t i = 0; i < 65; ++i) EXPECT_FALSE(bits.test(i)) << i;
    bits.assign(0);
    EXPECT_TRUE(bits.empty());
}

}  // namespace
}  // namespace quorvel
