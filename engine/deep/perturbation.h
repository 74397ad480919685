// The perturbation kernel: a pixel's orbit iterated as a double offset from a
// reference orbit, rebased to the reference's start whenever the pixel's own
// value becomes smaller than its offset.
#pragma once

#include <cstdint>

namespace quorvel {

// A reference orbit as the pixel kernel reads it: z_0 = 0 .. z_{length-1}.
struct OrbitSpan {
    const double* re;
    const double* im;
    uint32_t length;
    bool escaped;  // |z_{length-1}|^2 >= 4 before the limit
};

// Returned when this reference cannot serve the pixel: the pixel outlasted an
// orbit that escaped, or came so much closer to 0 than the reference that its
// value, formed as reference plus offset, lost too many bits to rebase on.
// Escape counts are never 0.
constexpr uint32_t kNeedsOtherReference = 0;

// Largest |z|^2 / |Z|^2 at a rebase that counts as a loss of precision: below
// it, more than 10 of the offset's 53 bits cancel.
constexpr double kRebaseCancellation = 1.0 / (1024.0 * 1024.0);

// The escape-time count of c_ref + (dcx + i*dcy), with the same rules as the
// exact kernels, or kNeedsOtherReference.
uint32_t iterate_perturbed(const OrbitSpan& orbit, uint32_t max_iterations, double dcx, double dcy);

}  // namespace quorvel
