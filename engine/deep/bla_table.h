// BlaTable: linear steps along one reference orbit, dz -> A dz + B dc for l
// iterations at once, each valid while |dz| stays below its radius, laid out
// in levels (bla_levels.h). Built a time slice at a time once the orbit is
// complete.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bigfloat/ext_float.h"
#include "deep/bla_levels.h"

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
    static constexpr int kLowestLevel = BlaLevels<BlaStep<T>>::kLowestLevel;

    // The orbit Z_0 .. Z_{length-1} must outlive the table unchanged;
    // c_max bounds |dc| of every pixel that uses it. Lower levels are left
    // out until the table fits in `max_bytes`.
    BlaTable(const T* zre, const T* zim, uint32_t length, T c_max, size_t max_bytes = SIZE_MAX);

    // Steps start only at indices 1 + j 2^first_level().
    int first_level() const { return levels_.first_level(); }
    // The length of the longest step find() can give.
    uint32_t longest() const { return levels_.longest(); }

    // The first level's steps, where find() looks first, and their number.
    const BlaStep<T>* first_steps(size_t& count) const { return levels_.first_steps(count); }

    // Builds for about `seconds` (at least some entries); true once complete.
    bool advance(double seconds);
    bool complete() const { return levels_.complete(); }
    size_t memory_size() const { return levels_.memory_size(); }

    // The longest step valid from reference index m for |dz|^2 = d2 and of
    // at most `room` iterations, with its length in `length`; null if none.
    const BlaStep<T>* find(uint32_t m, T d2, uint32_t room, uint32_t& length) const {
        return levels_.find(m, d2, room, length);
    }

private:
    BlaStep<T> single(uint32_t m) const;
    BlaStep<T> merge(const BlaStep<T>& x, const BlaStep<T>& y) const;

    const T* zre_;
    const T* zim_;
    T c_max_;
    BlaLevels<BlaStep<T>> levels_;
};

extern template class BlaTable<double>;
extern template class BlaTable<ExtFloat>;

}  // namespace quorvel
