// The fixed Huffman code over value differences, shared by every image.
#pragma once

#include <cstdint>

namespace quorvel {

struct DeltaCodeEntry {
    uint16_t code;   // bits, least significant first in the stream
    uint8_t length;  // 2 to 10
    uint8_t symbol;  // equal to the index
};

// The 256-entry table, indexed by (value - previous) mod 256. Built once when
// the library loads (or on first use, if that comes earlier); read-only after.
const DeltaCodeEntry* delta_code();

// Every code is at most 10 bits long, so the next 10 stream bits index a table
// that gives the symbol and the code length directly.
struct DeltaDecodeEntry {
    uint8_t symbol;
    uint8_t length;
};
constexpr unsigned kDeltaMaxLength = 10;
const DeltaDecodeEntry* delta_decode_table();  // 1 << kDeltaMaxLength entries

}  // namespace quorvel
