#include "storage/delta_code.h"

#include <gtest/gtest.h>

#include <map>

namespace quorvel {
namespace {

TEST(DeltaCode, TellingRowsAndLengthHistogram) {
    const DeltaCodeEntry* code = delta_code();
    // {difference, code, length}
    const int rows[][3] = {{0, 0x2, 2},      {1, 0x7, 4},      {255, 0xF, 4},  {2, 0x5, 5},
                           {254, 0x15, 5},   {3, 0x28, 6},     {253, 0x18, 6}, {5, 0x13, 7},
                           {127, 0x3E0, 10}, {128, 0x1E0, 10}, {129, 0xD0, 10}};
    for (const auto& r : rows) {
        EXPECT_EQ(code[r[0]].code, r[1]) << r[0];
        EXPECT_EQ(code[r[0]].length, r[2]) << r[0];
    }
    std::map<int, int> histogram;
    for (int d = 0; d < 256; ++d) {
        ++histogram[code[d].length];
        EXPECT_EQ(code[d].symbol, d);
    }
    EXPECT_EQ(
        histogram,
        (std::map<int, int>{{2, 1}, {4, 2}, {5, 2}, {6, 2}, {7, 18}, {8, 34}, {9, 67}, {10, 130}}));
}

}  // namespace
}  // namespace quorvel
