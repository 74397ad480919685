// Internal: the extended kernel's loop (perturbation_ext.cpp) with its state in
// the open, so that the batch kernels' SIMD lanes can hand a pixel to the scalar
// code at any step and take it back unchanged: a lane's pixel follows exactly
// the path perturbed_steps_ext gives it.
//
// A pixel's offset is a pair of doubles w times 2^k, with k chosen per pixel and
// changed only when |w| leaves [2^-64, 2^64]; dc is held as dc / 2^k and the
// error estimate with a scale of its own. The common step is the double
// kernel's step on w ("scaled"); near small reference values, and for offsets
// out of all proportion, the step is taken in ExtFloats ("exact").
#pragma once

#include <cstdint>

#include "bigfloat/ext_float.h"
#include "deep/perturbation.h"
#include "deep/perturbation_ext.h"

namespace quorvel {

namespace ext_walk {

// Scales from which the step reads small reference values as they are; below,
// dz is so small that only reference values above kBigReference keep the
// scaled step exact.
constexpr int64_t kShallowScale = -440;
// Offsets above 2^500, never met in a real view, take the ExtFloat step.
constexpr int64_t kLargestFastScale = 500;
constexpr double kBigReference = 0x1p-300;
// A deep step reads reference values below 2^-500 as zero, and leaves out of
// |z|^2 the square of a part of z below it when the other reaches 2^-440: that
// square is below a quarter of the sum's last place, and forming it would
// underflow, which is slow.
constexpr double kDeepReadingFloor = 0x1p-500;
constexpr double kDeepSquareFloor = 0x1p-440;
constexpr double kHighW = 0x1p64, kLowW = 0x1p-64;
// 2^k is kept as a double from here, 2^2k from twice this plus 64.
constexpr int64_t kLowestScale = -1022 + 64;
constexpr double kHighError = 0x1p400, kLowError = 0x1p-400;
// dc / 2^k and 2^(2k - error scale) stay below 2^961.
constexpr int64_t kHeadroom = 960;

}  // namespace ext_walk

enum class ExtRegime : uint8_t { shallow, deep, exact };

// One pixel inside the loop: dz = (wx, wy) 2^k, error = eps 2^ke, what follows
// from k and ke, and the loop's own variables.
struct ExtWalk {
    double wx, wy, eps;
    int64_t k, ke;
    double s, s2;   // 2^k and 2^2k, or 0 far below the normal range
    double vx, vy;  // dc / 2^k
    double f;       // 2^(2k - ke)
    ExtRegime regime;
    uint32_t m, n;
    // |z|^2 of the current z: a double after a scaled step, exact (and its
    // rounding in `previous`) after an ExtFloat step or on entry.
    double previous;
    ExtFloat previous_exact;
    bool exact_is_current;
    // Z_m as the scaled step reads it, and whether it is big (kBigReference).
    double zr, zi;
    bool big_m;
    // z itself, set at the escape.
    EscapedZ escaped{};
    // Cycle detection: the state remembered (walk_state) after seen.n tests.
    ExtSeen seen{};
    // Iterations whose error terms linear steps left out (ExtPixelState).
    uint32_t skipped = 0;
};

// The kernel of one pixel: the reference, the limit and the pixel's dc.
class ExtPixelKernel {
public:
    // Without `watch_cycles`, for loops whose path depends on more than the
    // walk, the kernel never looks for repeats.
    ExtPixelKernel(const ExtOrbitSpan& orbit, uint32_t max_iterations, ExtFloat dcx, ExtFloat dcy,
                   bool watch_cycles = true);

    // The walk of a pixel from its state between calls.
    void enter(const ExtPixelState& state, ExtWalk& w) const;
    // At most `steps` iterations; true with the count (or kNeedsOtherReference)
    // in `result` once the pixel ends. A pixel that ends with the limit's
    // count leaves the tests it took in w.n: a repeat ends it before the limit.
    bool advance(ExtWalk& w, uint32_t steps, uint32_t& result) const;
    // What the loop does when |w| or the error leaves its window after a
    // scaled step: new scales, and Z_m read for the new regime.
    void rescale(ExtWalk& w) const;
    static ExtPixelState leave(const ExtWalk& w);
    // enter(leave(w)) without the round trip, where the walk's |z|^2 is the
    // exact one and its values are normal; false, with w unchanged, elsewhere.
    bool settle(ExtWalk& w) const;

    // The scale dz takes when it is zero, and the lowest it takes at all.
    int64_t zero_scale() const;
    int64_t lowest_scale() const { return lowest_scale_; }

private:
    void set_offset(ExtWalk& w, ExtFloat dx, ExtFloat dy) const;
    // k, and what follows from it: dc / 2^k, the regime, 2^k and 2^2k.
    void set_scale(ExtWalk& w, int64_t k) const;
    void set_error(ExtWalk& w, ExtFloat error) const;
    void read_reference(ExtWalk& w) const;
    [[gnu::noinline]] void restart(ExtWalk& w, double px, double py) const;
    [[gnu::noinline]] bool exact_step(ExtWalk& w, uint32_t& result) const;

    const ExtFloat* const re_;
    const ExtFloat* const im_;
    const uint32_t last_;
    const bool escaped_;
    const uint32_t max_iterations_;
    const ExtFloat dcx_, dcy_;
    // The scale of dc; dz is never scaled below dc / 2^kHeadroom, so that
    // dc / 2^k stays a double (a smaller dz is lost against dc in one step).
    const int64_t dc_scale_, lowest_scale_;
    const bool watch_cycles_;
};

// The walk's state for cycle detection: dz, normalised, and the reference
// index. The values of dz do not depend on its scale (a scaled step rounds as
// the step on dz itself), so the error estimate and |z|^2, which decide only
// when the scales change and whether an escape counts, need not repeat too.
inline ExtSeen walk_state(const ExtWalk& w) {
    return ExtSeen{ExtFloat::make(w.wx, w.k), ExtFloat::make(w.wy, w.k), w.m, w.n};
}

}  // namespace quorvel
