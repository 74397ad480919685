// Which kernel computes the pixels of views past the double path.
#pragma once

#include <cstdint>

namespace quorvel {

// `perturbation` skips iterations with linear steps where they are valid;
// `plain` steps every iteration.
enum class DeepKernel : int { automatic = 0, exact = 1, perturbation = 2, plain = 3 };

// Below this radius `automatic` perturbs. Measured with tools/quorvel-sample
// (1000 pixels each of three boundary views, against 512-bit MPFR): the 192-bit
// kernel agreed on every pixel of all three at 1e-29 and 1e-30, and first
// differed at 1e-31 on one view (1e-35 and below 1e-36 on the others).
constexpr double kPerturbationBelowRadius = 1e-30;

// True when a view of this radius, past the double path, is perturbed.
inline bool perturbs(DeepKernel mode, double radius) {
    return mode == DeepKernel::perturbation || mode == DeepKernel::plain ||
           (mode == DeepKernel::automatic && radius < kPerturbationBelowRadius);
}

// True when perturbed pixels of this mode take linear steps. Exact mode
// perturbs only views too deep for anything else, and steps every iteration.
inline bool skips(DeepKernel mode) {
    return mode == DeepKernel::perturbation || mode == DeepKernel::automatic;
}

}  // namespace quorvel
