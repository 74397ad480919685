// BlaLevels: the layout of a table of linear steps along one reference orbit,
// shared by the tables of every arithmetic. Level k holds steps of 2^k
// iterations (the last of a level may be shorter) starting at reference
// indices 1 + j 2^k; a pixel may take a level-k step only at such an index.
// The table's type gives a step's single form and how two steps merge.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/stopwatch.h"

namespace quorvel {

template <class Step>
class BlaLevels {
public:
    // Levels below this are not kept: their steps save little, and level 0
    // and 1 would take most of the memory.
    static constexpr int kLowestLevel = 2;

    // Single steps from indices 1 .. length - 2, ending at most at the last
    // value. Lower levels are left out until the table fits in `max_bytes`.
    BlaLevels(uint32_t length, size_t max_bytes) : singles_(length >= 3 ? length - 2 : 0) {
        // Levels from k on take at most 2^(1-k) entries a single step, and
        // one more a level.
        while (first_level_ < 30 &&
               ((size_t{singles_} >> (first_level_ - 1)) + 32) * sizeof(Step) > max_bytes)
            ++first_level_;
        if (singles_ < (uint32_t{1} << first_level_)) complete_ = true;
    }

    // Steps start only at indices 1 + j 2^first_level().
    int first_level() const { return first_level_; }
    // The length of the longest step find() can give.
    uint32_t longest() const {
        return levels_.empty() ? 1u : uint32_t{1} << (first_level_ + int(levels_.size()) - 1);
    }
    bool complete() const { return complete_; }
    size_t memory_size() const {
        size_t size = 0;
        for (const auto& level : levels_) size += level.capacity() * sizeof(Step);
        return size;
    }

    // The first level's steps, where find() looks first, and their number.
    const Step* first_steps(size_t& count) const {
        count = levels_.empty() ? 0 : levels_[0].size();
        return levels_.empty() ? nullptr : levels_[0].data();
    }

    // The longest step valid from reference index m for |dz|^2 = d2 and of
    // at most `room` iterations, with its length in `length`; null if none.
    template <class D>
    const Step* find(uint32_t m, D d2, uint32_t room, uint32_t& length) const {
        const uint32_t i = m - 1;  // m = 0 wraps round to beyond every level
        if (i >= singles_) return nullptr;
        const Step* best = nullptr;
        for (size_t level = 0; level < levels_.size(); ++level) {
            const int k = first_level_ + static_cast<int>(level);
            if ((i & ((uint32_t{1} << k) - 1)) != 0) break;
            const uint32_t j = i >> k;
            const std::vector<Step>& steps = levels_[level];
            if (j >= steps.size()) break;
            const uint32_t l = std::min(uint32_t{1} << k, singles_ - i);
            const Step& s = steps.data()[j];
            if (!(d2 < s.r2) || l > room) break;
            best = &s;
            length = l;
        }
        return best;
    }

    // Builds for about `seconds`, looking at the clock every `per_check`
    // entries; single(m) is the step from index m, merge(x, y) is x then y.
    // True once complete.
    template <class Single, class Merge>
    bool advance(double seconds, size_t per_check, Single single, Merge merge) {
        Stopwatch watch;
        for (size_t done = 0; !complete_; ++done) {
            if (done % per_check == per_check - 1 && watch.elapsed() >= seconds) break;
            if (levels_.empty() || next_ == 0) {
                // A new level: its size is known, so it is reserved at once.
                const uint32_t span = uint32_t{1} << (first_level_ + levels_.size());
                level_size_ = (singles_ + span - 1) / span;
                levels_.emplace_back().reserve(level_size_);
            }
            std::vector<Step>& level = levels_.back();
            if (levels_.size() == 1) {
                // From the single steps at 1 + 2^k j .. at most 2^k (j + 1).
                const uint32_t first = 1 + static_cast<uint32_t>(next_) * (1u << first_level_);
                const uint32_t end = std::min(first + (1u << first_level_), singles_ + 1);
                Step s = single(first);
                for (uint32_t m = first + 1; m < end; ++m) s = merge(s, single(m));
                level.push_back(s);
            } else {
                const std::vector<Step>& below = levels_[levels_.size() - 2];
                const size_t j = 2 * next_;
                level.push_back(j + 1 < below.size() ? merge(below[j], below[j + 1]) : below[j]);
            }
            ++next_;
            if (next_ == level_size_) {
                next_ = 0;
                if (level.size() == 1) complete_ = true;
            }
        }
        return complete_;
    }

private:
    uint32_t singles_;
    int first_level_ = kLowestLevel;
    std::vector<std::vector<Step>> levels_;
    size_t next_ = 0;  // the next entry of the level under way, of level_size_
    size_t level_size_ = 0;
    bool complete_ = false;
};

}  // namespace quorvel
