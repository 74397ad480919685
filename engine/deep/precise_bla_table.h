// PreciseBlaTable: linear steps along a reference orbit for the kernels of
// wider arithmetic (perturbation_precise.h), laid out in levels as BlaTable's. A and B
// are kept in the wider type, so that a step rounds about as the single steps
// it replaces; its radius keeps the dropped terms, which the kernel adds to
// its error estimate, a small share of the kept ones.
// Radii and bounds need no more than long double's precision and range.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deep/bla_levels.h"
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
    static constexpr int kLowestLevel = BlaLevels<PreciseBlaStep<T>>::kLowestLevel;

    // The orbit must outlive the table unchanged; c_max bounds |dc| of every
    // pixel that uses it. Lower levels are left out until the table fits in
    // `max_bytes`.
    PreciseBlaTable(const PreciseOrbitSpan& orbit, long double c_max, size_t max_bytes);

    // Steps start only at indices 1 + j 2^first_level().
    int first_level() const { return levels_.first_level(); }

    // Builds for about `seconds` (at least a few entries); true once complete.
    bool advance(double seconds);
    bool complete() const { return levels_.complete(); }
    size_t memory_size() const { return levels_.memory_size(); }

    // The longest step valid from reference index m for |dz|^2 = d2 and of at
    // most `room` iterations, with its length in `length`; null if none.
    const PreciseBlaStep<T>* find(uint32_t m, long double d2, uint32_t room,
                                  uint32_t& length) const {
        return levels_.find(m, d2, room, length);
    }

private:
    PreciseBlaStep<T> single(uint32_t m) const;
    PreciseBlaStep<T> merge(const PreciseBlaStep<T>& x, const PreciseBlaStep<T>& y) const;

    PreciseOrbitSpan orbit_;
    long double c_max_;
    BlaLevels<PreciseBlaStep<T>> levels_;
};

extern template class PreciseBlaTable<long double>;
extern template class PreciseBlaTable<DoubleDouble>;
extern template class PreciseBlaTable<LongDoubleDouble>;

}  // namespace quorvel
