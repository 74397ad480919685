// The perturbation kernel in wider arithmetic, for the few pixels whose counts
// the double kernels' error estimate cannot vouch for: long double (a step
// rounds about 2^-61 of the offset instead of 2^-53) and then double-doubles
// (about 2^-100), so that the same estimate decides nearly all of them without
// an MPFR orbit of their own. Steps, rebases and the escape test are those of
// perturbed_steps.
#pragma once

#include <cstdint>

#include "bigfloat/big_float.h"
#include "bigfloat/ext_float.h"
#include "deep/double_double.h"
#include "deep/perturbation.h"

namespace quorvel {

// A reference orbit kept as doubles with the parts they leave over, or (for
// long double and LongDoubleDouble only) as extended values with theirs
// (ext_re non-null).
struct PreciseOrbitSpan {
    const double* re;
    const double* im;
    const double* re_low;
    const double* im_low;
    uint32_t length;
    bool escaped;
    const ExtFloat* ext_re = nullptr;
    const ExtFloat* ext_im = nullptr;
    const ExtFloat* ext_re_low = nullptr;
    const ExtFloat* ext_im_low = nullptr;
};

// A pixel between two calls: offset dz, reference index m, tests done n and
// the error estimate of z, as the sum of its terms' squares and as the sum of
// their magnitudes; an escaped pixel leaves its z.
template <class T>
struct PreciseState {
    T dx{}, dy{};
    uint32_t m = 0, n = 0;
    long double error = 0.0L;
    long double sum = 0.0L;
    EscapedZ escaped{};  // z of a pixel that escaped
};

template <class T>
class PreciseBlaTable;

// The type of a kernel's tests and error estimate: that of T's leading part,
// long double for double-doubles whose offsets' squares fall below doubles.
template <class T>
struct PreciseTests {
    using Real = long double;
};
template <>
struct PreciseTests<DoubleDouble> {
    using Real = double;
};

// Runs at most `steps` steps; true with the count (or kNeedsOtherReference)
// in `result` once the pixel ends. T is long double (a 64-bit significand,
// where it has one), DoubleDouble, or LongDoubleDouble (for extended orbits
// and offsets, within long double's range); DoubleDouble with long double
// tests serves extended views whose offsets and orbit values fit doubles.
// With a table of the same orbit, a step is its longest valid linear step
// where one starts, else a single iteration.
template <class T, class Real = typename PreciseTests<T>::Real>
bool precise_steps(const PreciseOrbitSpan& orbit, uint32_t max_iterations, T dcx, T dcy,
                   PreciseState<T>& s, uint32_t steps, uint32_t& result,
                   const PreciseBlaTable<T>* table = nullptr);

extern template bool precise_steps<long double>(const PreciseOrbitSpan&, uint32_t, long double,
                                                long double, PreciseState<long double>&, uint32_t,
                                                uint32_t&, const PreciseBlaTable<long double>*);
extern template bool precise_steps<LongDoubleDouble>(const PreciseOrbitSpan&, uint32_t,
                                                     LongDoubleDouble, LongDoubleDouble,
                                                     PreciseState<LongDoubleDouble>&, uint32_t,
                                                     uint32_t&,
                                                     const PreciseBlaTable<LongDoubleDouble>*);
extern template bool precise_steps<DoubleDouble>(const PreciseOrbitSpan&, uint32_t, DoubleDouble,
                                                 DoubleDouble, PreciseState<DoubleDouble>&,
                                                 uint32_t, uint32_t&,
                                                 const PreciseBlaTable<DoubleDouble>*);
extern template bool precise_steps<DoubleDouble, long double>(const PreciseOrbitSpan&, uint32_t,
                                                              DoubleDouble, DoubleDouble,
                                                              PreciseState<DoubleDouble>&, uint32_t,
                                                              uint32_t&,
                                                              const PreciseBlaTable<DoubleDouble>*);

}  // namespace quorvel
