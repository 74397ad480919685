// Which kernel computes the pixels of views past the double path.
#pragma once

#include <cstdint>

namespace quorvel {

enum class DeepKernel : int { automatic = 0, exact = 1, perturbation = 2 };

// Below this radius the 192-bit kernel starts to give wrong counts on boundary
// views (measured against 512-bit MPFR with tools/quorvel-sample), so `automatic`
// switches to perturbation there.
constexpr double kPerturbationBelowRadius = 1e-33;

// True when a view of this radius, past the double path, is perturbed.
inline bool perturbs(DeepKernel mode, double radius) {
    return mode == DeepKernel::perturbation ||
           (mode == DeepKernel::automatic && radius < kPerturbationBelowRadius);
}

}  // namespace quorvel
