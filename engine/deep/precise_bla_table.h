// PreciseBlaTable: linear steps along a reference orbit for the kernels of
// wider arithmetic (perturbation_precise.h), laid out as BlaTable's. A and B
// are kept in the wider type, so that a step rounds about as the single steps
// it replaces; its radius holds the dropped terms well below that rounding.
// Radii and bounds need no more than long double's precision and range.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "deep/double_double.h"
#include "deep/perturbation_precise.h"

namespace quorvel {

// Validity radius of a single step relative to |Z_m|, for T: the dropped dz^2
// stays below half of it beside 2 Z_m dz.
double precise_bla_epsilon(long double);
double precise_bla_epsilon(DoubleDouble);
double precise_bla_epsilon(LongDoubleDouble);

// The dropped terms of a step from dz, for a pixel at dc, add up to at most
// (p |dz| + q |dc|) |dz| + s |dc|^2.
template <class T>
struct PreciseBlaStep {
    T ar, ai, br, bi;
    long double r2;  // valid for |dz|^2 < r2
    long double p, q, s;
};

template <class T>
class PreciseBlaTable {
public:
    static constexpr int kLowestLevel = 2;

    // The orbit must outlive the table unchanged; c_max bounds |dc| of every
    // pixel that uses it. Lower levels are left out until the table fits in
    // `max_bytes`.
    PreciseBlaTable(const PreciseOrbitSpan& orbit, long double c_max, size_t max_bytes);

    // Steps start only at indices 1 + j 2^first_level().
    int first_level() const { return first_level_; }

    // Builds for about `seconds` (at least a few entries); true once complete.
    bool advance(double seconds);
    bool complete() const { return complete_; }
    size_t memory_size() const;

    // The longest step valid from reference index m for |dz|^2 = d2 and of at
    // most `room` iterations, with its length in `length`; null if none.
    const PreciseBlaStep<T>* find(uint32_t m, long double d2, uint32_t room,
                                  uint32_t& length) const {
        const uint32_t i = m - 1;  // m = 0 wraps round to beyond every level
        if (i >= singles_) return nullptr;
        const PreciseBlaStep<T>* best = nullptr;
        for (size_t level = 0; level < levels_.size(); ++level) {
            const int k = first_level_ + static_cast<int>(level);
            if ((i & ((uint32_t{1} << k) - 1)) != 0) break;
            const uint32_t j = i >> k;
            const std::vector<PreciseBlaStep<T>>& steps = levels_[level];
            if (j >= steps.size()) break;
            const uint32_t l = std::min(uint32_t{1} << k, singles_ - i);
            const PreciseBlaStep<T>& s = steps.data()[j];
            if (!(d2 < s.r2) || l > room) break;
            best = &s;
            length = l;
        }
        return best;
    }

private:
    PreciseBlaStep<T> single(uint32_t m) const;
    PreciseBlaStep<T> merge(const PreciseBlaStep<T>& x, const PreciseBlaStep<T>& y) const;

    PreciseOrbitSpan orbit_;
    uint32_t singles_;  // single steps from 1 .. singles_
    int first_level_ = kLowestLevel;
    long double c_max_;
    std::vector<std::vector<PreciseBlaStep<T>>> levels_;
    size_t next_ = 0;  // the next entry of the level under way, of level_size_
    size_t level_size_ = 0;
    bool complete_ = false;
};

extern template class PreciseBlaTable<long double>;
extern template class PreciseBlaTable<DoubleDouble>;
extern template class PreciseBlaTable<LongDoubleDouble>;

}  // namespace quorvel
