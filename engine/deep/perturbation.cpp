#include "deep/perturbation.h"

#include "deep/perturbation_step.h"

namespace quorvel {

uint32_t iterate_perturbed(const OrbitSpan& orbit, uint32_t max_iterations, double dcx, double dcy,
                           EscapedZ* z) {
    PixelState s{0.0, 0.0, 0, 0, 0.0};
    uint32_t result = 0;
    while (!perturbed_steps(orbit, max_iterations, dcx, dcy, s, UINT32_MAX, result)) {
    }
    if (z) *z = s.escaped;
    return result;
}

}  // namespace quorvel
