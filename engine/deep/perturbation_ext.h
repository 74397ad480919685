// The perturbation kernel with extended-exponent offsets, for views whose
// pixel offsets, or their squares, leave the double range. Same rules as
// iterate_perturbed (perturbation.h), and the same counts wherever doubles
// hold the offsets.
#pragma once

#include <cstdint>

#include "bigfloat/ext_float.h"
#include "deep/perturbation.h"

namespace quorvel {

// A reference orbit kept with extended exponents: Z_0 = 0 .. Z_{length-1}.
struct ExtOrbitSpan {
    const ExtFloat* re;
    const ExtFloat* im;
    uint32_t length;
    bool escaped;
};

// A pixel between two calls: offset dz, reference index m, tests done n, and
// the squared error estimate of z.
struct ExtPixelState {
    ExtFloat dx, dy;
    uint32_t m = 0, n = 0;
    ExtFloat error;
};

// Runs at most `steps` iterations; true with the count (or
// kNeedsOtherReference) in `result` once the pixel ends.
bool perturbed_steps_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                         ExtFloat dcy, ExtPixelState& s, uint32_t steps, uint32_t& result);
uint32_t iterate_perturbed_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                               ExtFloat dcy);

}  // namespace quorvel
