// The perturbation kernel with extended offsets: the rules of perturbed_steps
// (perturbation_step.h), with dc, dz and the error estimate as ExtFloats, so
// that nothing underflows at any depth. Where doubles do not underflow it
// gives the double kernel's counts exactly.
#pragma once

#include <cstdint>
#include <limits>

#include "bigfloat/ext_float.h"
#include "deep/perturbation.h"

namespace quorvel {

// A reference orbit as the extended kernel reads it: Z_0 = 0 .. Z_{length-1}.
struct ExtOrbitSpan {
    const ExtFloat* re;
    const ExtFloat* im;
    uint32_t length;
    bool escaped;  // |Z_{length-1}|^2 >= 4 before the limit
};

// For cycle detection: a loop's offset dz = x + iy, normalised, and reference
// index m as they were after n tests (n 0: nothing seen yet).
struct ExtSeen {
    ExtFloat x = ExtFloat::raw(std::numeric_limits<double>::quiet_NaN(), 0);
    ExtFloat y = x;
    uint32_t m = 0, n = 0;

    // Bit for bit the same state (a NaN is never the same).
    bool same(const ExtSeen& o) const { return x == o.x && y == o.y && m == o.m; }
};

// A pixel between two calls: offset dz, reference index m, tests done n, and
// the squared error estimate of z; the state remembered for cycle detection.
// Starts as all zeros. A pixel that escaped leaves its z in `escaped`. The
// error sums n - skipped terms (mod 2^32), as PixelState's does.
struct ExtPixelState {
    ExtFloat dx, dy;
    uint32_t m, n;
    ExtFloat error;
    ExtSeen seen{};
    EscapedZ escaped{};
    uint32_t skipped = 0;
};

// Runs at most `steps` iterations; true with the count (or
// kNeedsOtherReference) in `result` once the pixel ends.
bool perturbed_steps_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                         ExtFloat dcy, ExtPixelState& s, uint32_t steps, uint32_t& result);

// The escape-time count of c_ref + (dcx + i*dcy), or kNeedsOtherReference; an
// escaped pixel's z goes to `z`.
uint32_t iterate_perturbed_ext(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx,
                               ExtFloat dcy, EscapedZ* z = nullptr);

}  // namespace quorvel
