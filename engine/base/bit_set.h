// BitSet: a fixed number of bits, all clear at first, set one at a time or in
// runs; for a mark per pixel where a byte each would cost eight times more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel {

class BitSet {
public:
    // n bits, all clear; none for 0.
    void assign(size_t n) { words_.assign((n + 63) / 64, 0); }
    bool empty() const { return words_.empty(); }
    bool test(size_t i) const { return ((words_[i >> 6] >> (i & 63)) & 1) != 0; }
    void set(size_t i) { words_[i >> 6] |= uint64_t{1} << (i & 63); }
    // Sets bits a .. b - 1, whole words at a time; nothing when b <= a.
    void set_range(size_t a, size_t b) {
        if (b <= a) return;
        const size_t first = a >> 6, last = (b - 1) >> 6;
        const uint64_t head = ~uint64_t{0} << (a & 63);
        const uint64_t tail = ~uint64_t{0} >> (63 - ((b - 1) & 63));
        if (first == last) {
            words_[first] |= head & tail;
            return;
        }
        words_[first] |= head;
        for (size_t w = first + 1; w < last; ++w) words_[w] = ~uint64_t{0};
        words_[last] |= tail;
    }

private:
    std::vector<uint64_t> words_;
};

}  // namespace quorvel
