#include "storage/delta_code.h"

#include <gtest/gtest.h>

#include <map>

namespace quorvel {
namespace {

TEST(DeltaCode, TellingRows) {
    const DeltaCodeEntry* code = delta_code();
    struct Row {
        int d;
        uint16_t code;
        uint8_t length;
    };
    const Row rows[] = {{0, 0x2, 2},      {1, 0x7, 4},      {255, 0xF, 4},  {2, 0x5, 5},
                        {254, 0x15, 5},   {3, 0x28, 6},     {253, 0x18, 6}, {5, 0x13, 7},
                        {127, 0x3E0, 10}, {128, 0x1E0, 10}, {129, 0xD0, 10}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.d);
        EXPECT_EQ(code[r.d].code, r.code);
        EXPECT_EQ(code[r.d].length, r.length);
    }
    for (int d = 0; d < 256; ++d) EXPECT_EQ(code[d].symbol, d);
}

TEST(DeltaCode, LengthHistogram) {
    const DeltaCodeEntry* code = delta_code();
    std::map<int, int> histogram;
    for (int d = 0; d < 256; ++d) ++histogram[code[d].length];
    const std::map<int, int> expected = {{2, 1},  {4, 2},  {5, 2},  {6, 2},
                                         {7, 18}, {8, 34}, {9, 67}, {10, 130}};
    EXPECT_EQ(histogram, expected);
}

// Every 10-bit window starts with exactly one code (the code is prefix-free
// and complete), and the table decoder names that code.
TEST(DeltaCode, TableDecodesEveryWindowToItsUniquePrefix) {
    const DeltaCodeEntry* code = delta_code();
    for (uint32_t window = 0; window < 1024; ++window) {
        int match = -1;
        for (int d = 0; d < 256; ++d) {
            if ((window & ((1u << code[d].length) - 1)) == code[d].code) {
                ASSERT_EQ(match, -1) << "two codes prefix window " << window;
                match = d;
            }
        }
        ASSERT_NE(match, -1) << window;
        uint8_t symbol = 0;
        // Bits above the window must not matter.
        EXPECT_EQ(decode_delta(window | 0xABCD400u, &symbol), code[match].length);
        EXPECT_EQ(symbol, match);
    }
}

}  // namespace
}  // namespace quorvel
