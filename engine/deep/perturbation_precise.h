// The perturbation kernel in double-doubles, for the few pixels whose counts
// the double kernels' error estimate cannot vouch for: a step rounds about
// 2^-100 of the offset instead of 2^-53, so the same estimate decides nearly
// all of them without an MPFR orbit of their own. Steps, rebases and the
// escape test are those of perturbed_steps.
#pragma once

#include <cstdint>

#include "deep/double_double.h"
#include "deep/perturbation.h"

namespace quorvel {

// A reference orbit kept as doubles with the parts they leave over.
struct PreciseOrbitSpan {
    const double* re;
    const double* im;
    const double* re_low;
    const double* im_low;
    uint32_t length;
    bool escaped;
};

// A pixel between two calls: offset dz, reference index m, tests done n and
// the squared error estimate of z.
struct PrecisePixelState {
    DoubleDouble dx, dy;
    uint32_t m = 0, n = 0;
    double error = 0.0;
};

// Rounding error of a double-double step, squared, relative to |dz|^2: a few
// units of 2^-106 from the products and sums, and the reference's own.
constexpr double kPreciseStepErrorSquared = 0x1p-200;

// Runs at most `steps` iterations; true with the count (or
// kNeedsOtherReference) in `result` once the pixel ends.
bool precise_steps(const PreciseOrbitSpan& orbit, uint32_t max_iterations, DoubleDouble dcx,
                   DoubleDouble dcy, PrecisePixelState& s, uint32_t steps, uint32_t& result);

}  // namespace quorvel
