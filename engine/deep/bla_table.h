// BlaTable: linear steps along one reference orbit, dz -> A dz + B dc for l
// iterations at once, each valid while |dz| stays below its radius. Level k
// holds steps of 2^k iterations (the last of a level may be shorter) starting
// at reference indices 1 + j 2^k; a pixel may take a level-k step only at
// such an index. Built a time slice at a time once the orbit is complete.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bigfloat/ext_float.h"

namespace quorvel {

// Validity radius of a single step, relative to |Z_m|: the dropped term dz^2
// stays below kBlaEpsilon / 2 of the kept one 2 Z_m dz. Chosen with
// bench/depth_bench.cpp: the dropped terms leave the escape check undecided
// for half the sampled pixels at 2e-50 with 2^-24, 8 % with 2^-36 and 3 %
// here (1 % plainly), while the steps per pixel grow from 1,500 to 6,700 here
// and 12,000 at 2^-53; here every sampled count agreed with MPFR.
constexpr double kBlaEpsilon = 0x1p-42;

// T is double, or ExtFloat where coefficients leave the double range.
// The dropped terms of a step from offset dz, for a pixel at dc, add up to at
// most (p |dz| + q |dc|) |dz| + s |dc|^2 (to first order in them).
template <class T>
struct BlaStep {
    T ar, ai, br, bi;
    T r2;  // the squared radius: valid for |dz|^2 < r2
    T p, q, s;
};

template <class T>
class BlaTable {
public:
    // Levels below this are not kept: their steps save little, and level 0
    // and 1 would take most of the memory.
    static constexpr int kLowestLevel = 2;

    // The orbit Z_0 .. Z_{length-1} must outlive the table unchanged;
    // c_max bounds |dc| of every pixel that uses it. Lower levels are left
    // out until the table fits in `max_bytes`.
    BlaTable(const T* zre, const T* zim, uint32_t length, T c_max, size_t max_bytes = SIZE_MAX);

    // Steps start only at indices 1 + j 2^first_level().
    int first_level() const { return first_level_; }
    // The length of the longest step find() can give.
    uint32_t longest() const {
        return levels_.empty() ? 1u : uint32_t{1} << (first_level_ + int(levels_.size()) - 1);
    }

    // The first level's steps, where find() looks first, and their number.
    const BlaStep<T>* first_steps(size_t& count) const {
        count = levels_.empty() ? 0 : levels_[0].size();
        return levels_.empty() ? nullptr : levels_[0].data();
    }

    // Builds for about `seconds` (at least some entries); true once complete.
    bool advance(double seconds);
    bool complete() const { return complete_; }
    size_t memory_size() const;

    // The longest step valid from reference index m for |dz|^2 = d2 and of
    // at most `room` iterations, with its length in `length`; null if none.
    const BlaStep<T>* find(uint32_t m, T d2, uint32_t room, uint32_t& length) const {
        const uint32_t i = m - 1;  // m = 0 wraps round to beyond every level
        if (i >= singles_) return nullptr;
        const BlaStep<T>* best = nullptr;
        for (size_t level = 0; level < levels_.size(); ++level) {
            const int k = first_level_ + static_cast<int>(level);
            if ((i & ((uint32_t{1} << k) - 1)) != 0) break;
            const uint32_t j = i >> k;
            const std::vector<BlaStep<T>>& steps = levels_[level];
            if (j >= steps.size()) break;
            const uint32_t l = std::min(uint32_t{1} << k, singles_ - i);
            const BlaStep<T>& s = steps.data()[j];
            if (!(d2 < s.r2) || l > room) break;
            best = &s;
            length = l;
        }
        return best;
    }

private:
    BlaStep<T> single(uint32_t m) const;
    BlaStep<T> merge(const BlaStep<T>& x, const BlaStep<T>& y) const;

    const T* zre_;
    const T* zim_;
    // Single steps from indices 1 .. singles_, ending at most at the last.
    uint32_t singles_;
    int first_level_ = kLowestLevel;
    T c_max_;
    std::vector<std::vector<BlaStep<T>>> levels_;
    size_t next_ = 0;  // the next entry of the level under way, of level_size_
    size_t level_size_ = 0;
    bool complete_ = false;
};

extern template class BlaTable<double>;
extern template class BlaTable<ExtFloat>;

}  // namespace quorvel
