// The perturbation kernel: a pixel's orbit iterated as a double offset from a
// reference orbit, rebased to the reference's start whenever the pixel's own
// value becomes smaller than its offset.
#pragma once

#include <cmath>
#include <cstdint>

#include "bigfloat/big_float.h"

namespace quorvel {

// A reference orbit as the pixel kernel reads it: z_0 = 0 .. z_{length-1}.
struct OrbitSpan {
    const double* re;
    const double* im;
    uint32_t length;
    bool escaped;  // |z_{length-1}|^2 >= 4 before the limit
};

// Returned when this reference cannot serve the pixel: the pixel outlasted an
// orbit that escaped without coming closer to 0 than to the reference, met the
// escape test so closely that doubles cannot decide it, or escaped with more
// rounding error than its count can bear. Escape counts are never 0.
constexpr uint32_t kNeedsOtherReference = 0;

// Rounding error of an offset step, squared: each step adds about one unit in
// the last place of |dz|, and the orbit amplifies what is there by |2z|.
constexpr double kStepErrorSquared = 1.0 / (double(1ull << 53) * double(1ull << 53));
// Estimated error of z at the escape, squared, above which the count may be
// wrong: pixels that stray from the reference early and then run long.
constexpr double kEscapeErrorSquared = 1e-4;

// |z|^2 within this share of 4 is too close to call in doubles.
constexpr double kUndecidedEscape = 1.0 / (1u << 30);

// Whether a pixel whose |z|^2 = r first reached 4 at test n keeps that count:
// r is clear of 4 by more than doubles blur, and the error of z cannot carry
// |z| back to 2. `error` sums the squares of the n step errors as they grew;
// as these may add up in one direction, n * error bounds the square of their
// sum (Cauchy-Schwarz).
inline bool escape_decided(double r, double error, uint32_t n) {
    if (r <= 4.0 + 4.0 * kUndecidedEscape) return false;
    const double bound = static_cast<double>(n) * error;
    const double margin = std::sqrt(r) - 2.0;
    return error <= kEscapeErrorSquared && bound < margin * margin;
}

// escape_kept with the squared bound on the error of z (of z_n, then of
// z_{n-1} before its amplification) given: `bound` and `bound_before`.
inline bool escape_kept_within(double r, double error, double bound, double bound_before,
                               uint32_t n, double x, double y, double cx, double cy) {
    if (r <= 4.0 + 4.0 * kUndecidedEscape) return false;
    const double past = std::sqrt(r) - 2.0;
    if (!(error <= kEscapeErrorSquared && bound < past * past)) return false;
    if (n < 2) return true;
    const double ex = x - cx, ey = y - cy;
    const double before = std::sqrt(ex * ex + ey * ey);
    if (!(before < 4.0)) return false;
    const double margin = 2.0 - std::sqrt(before);
    return bound_before < (4.0 * before) * (margin * margin);
}

// escape_decided, and the test before was clear of 2 as well: a pixel whose
// orbit passed 2 one test earlier, within its error, would keep a count one
// high. For c = cx + i cy, z_{n-1}^2 = z - c gives |z_{n-1}|^2; the step
// amplified z_{n-1}'s error by |2 z_{n-1}|, so `error` bounds it from above.
// Where linear steps summed fewer terms than n into `error`, `skipped` says
// how many fewer (mod 2^32).
inline bool escape_kept(double r, double error, uint32_t n, double x, double y, double cx,
                        double cy, uint32_t skipped = 0) {
    const uint32_t terms = n - skipped;
    return escape_kept_within(r, error, static_cast<double>(terms) * error,
                              n < 2 ? 0.0 : static_cast<double>(terms - 1) * error, n, x, y, cx,
                              cy);
}

// What follows a step whose z = x + iy stayed below the escape radius, with
// |z|^2 = r and |dz|^2 = d: true with `result` once the pixel ends at the
// limit or outlasts an escaped reference. Otherwise, where z passes closer to
// 0 than to the reference (bits lost in forming it show in the error
// estimate) or a reference cut at its longest kept length ends, the pixel goes
// on from the reference's start with its whole value as offset.
template <class T, class R>
[[gnu::always_inline]] inline bool ends_or_rebases(T x, T y, R r, R d, uint32_t n,
                                                   uint32_t max_iterations, uint32_t last,
                                                   bool reference_escaped, T& dx, T& dy,
                                                   uint32_t& m, uint32_t& result) {
    if (n + 1 >= max_iterations) {
        result = n + 1;
        return true;
    }
    const bool closer_to_zero = r < d;
    if (!closer_to_zero && m != last) return false;
    if (!closer_to_zero && reference_escaped) {
        result = kNeedsOtherReference;
        return true;
    }
    dx = x;
    dy = y;
    m = 0;
    return false;
}

// The escape-time count of c_ref + (dcx + i*dcy), with the same rules as the
// exact kernels, or kNeedsOtherReference; an escaped pixel's z goes to `z`.
uint32_t iterate_perturbed(const OrbitSpan& orbit, uint32_t max_iterations, double dcx, double dcy,
                           EscapedZ* z = nullptr);

}  // namespace quorvel
