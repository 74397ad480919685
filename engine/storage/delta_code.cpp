#include "storage/delta_code.h"

#include <array>
#include <vector>

namespace quorvel {
namespace {

// Weight of a difference of magnitude m: 1000000 * e^-m for the first three,
// then a slower 1/(m + 5) tail that meets it at m = 3.
uint32_t magnitude_weight(unsigned m) {
    if (m == 0) return 1000000;
    if (m == 1) return 367879;
    if (m == 2) return 135335;
    return 8u * 49787u / (m + 5u);
}

struct DeltaTables {
    std::array<DeltaCodeEntry, 256> code{};
    std::array<DeltaDecodeEntry, 1u << kDeltaMaxLength> decode{};

    DeltaTables() {
        struct Node {
            uint32_t weight;
            int first, second;  // children, -1 for a leaf
            int symbol;
        };
        std::vector<Node> nodes;
        nodes.reserve(511);
        std::vector<int> list;  // front at index 0
        for (unsigned m = 0; m <= 128; ++m) {
            const uint32_t w = magnitude_weight(m);
            if (m != 0) {
                nodes.push_back({w, -1, -1, static_cast<int>(256 - m)});
                list.insert(list.begin(), static_cast<int>(nodes.size() - 1));
            }
            if (m != 128) {
                nodes.push_back({w, -1, -1, static_cast<int>(m)});
                list.insert(list.begin(), static_cast<int>(nodes.size() - 1));
            }
        }
        for (unsigned s = 0; s < 256; ++s) code[s] = {0, 0, static_cast<uint8_t>(s)};

        // Appends one bit at the least significant end of every code below n.
        auto append_bit = [&](auto&& self, int n, unsigned bit) -> void {
            const Node& node = nodes[n];
            if (node.first < 0) {
                DeltaCodeEntry& e = code[node.symbol];
                e.code = static_cast<uint16_t>(e.code * 2 + bit);
                ++e.length;
                return;
            }
            self(self, node.first, bit);
            self(self, node.second, bit);
        };

        while (list.size() > 1) {
            const int a = list[0];
            const int b = list[1];
            list.erase(list.begin(), list.begin() + 2);
            append_bit(append_bit, a, 0);
            append_bit(append_bit, b, 1);
            const uint32_t w = nodes[a].weight + nodes[b].weight;
            nodes.push_back({w, a, b, -1});
            const int n = static_cast<int>(nodes.size() - 1);
            auto at = list.begin();
            while (at != list.end() && nodes[*at].weight < w) ++at;
            list.insert(at, n);
        }

        // Codes are read root first from the least significant bit, so every
        // 10-bit window that starts with a code's bits decodes to it.
        for (const DeltaCodeEntry& e : code) {
            for (unsigned high = 0; high < (1u << (kDeltaMaxLength - e.length)); ++high)
                decode[e.code | (high << e.length)] = {e.symbol, e.length};
        }
    }
};

const DeltaTables& tables() {
    static const DeltaTables t;
    return t;
}

// Built when the library loads, before any exported function can run.
[[maybe_unused]] const DeltaTables& built_at_load = tables();

}  // namespace

const DeltaCodeEntry* delta_code() { return tables().code.data(); }

const DeltaDecodeEntry* delta_decode_table() { return tables().decode.data(); }

}  // namespace quorvel
