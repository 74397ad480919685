// Dispatch of the perturbation batch kernel and its portable scalar form.
#include "deep/perturbation_batch.h"

#include <algorithm>

#include "deep/perturbation_step.h"

namespace quorvel {

#if defined(__x86_64__)
bool iterate_perturbed_batch_sse2(const OrbitSpan&, uint32_t, Orbit*, size_t, const Budget&);
#if defined(__GNUC__)
bool iterate_perturbed_batch_avx2(const OrbitSpan&, uint32_t, Orbit*, size_t, const Budget&);
bool iterate_perturbed_batch_avx512(const OrbitSpan&, uint32_t, Orbit*, size_t, const Budget&);
#endif
#endif

namespace {

// Iterations between two looks at the budget.
constexpr uint32_t kScalarCheck = 4096;

bool iterate_perturbed_scalar(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels,
                              size_t count, const Budget& budget) {
    uint64_t steps = 0;
    for (size_t i = 0; i < count; ++i) {
        Orbit& o = pixels[i];
        if (o.done) continue;
        PixelState s = state_of_record(o);
        uint32_t result = 0;
        for (;;) {
            const uint32_t before = s.n;
            if (perturbed_steps(orbit, max_iterations, o.cx, o.cy, s, kScalarCheck, result)) {
                end_record(o, s, result);
                steps += kScalarCheck;
                break;
            }
            steps += s.n - before;
            if (steps >= budget.max_steps || budget.time_over()) {
                pause_record(o, s);
                return false;
            }
        }
        if (&o == budget.wanted)
            return std::all_of(pixels + i, pixels + count, [](const Orbit& r) { return r.done; });
        // Between pixels too, so that short pixels end a budget as well.
        if (i + 1 < count && (steps >= budget.max_steps || budget.time_over())) return false;
    }
    return true;
}

}  // namespace

bool iterate_perturbed_batch_at(SimdLevel level, const OrbitSpan& orbit, uint32_t max_iterations,
                                Orbit* pixels, size_t count, const Budget& budget) {
    switch (static_cast<int>(level) > static_cast<int>(best_simd_level()) ? best_simd_level()
                                                                          : level) {
#if defined(__x86_64__)
        case SimdLevel::sse2:
            return iterate_perturbed_batch_sse2(orbit, max_iterations, pixels, count, budget);
#if defined(__GNUC__)
        case SimdLevel::avx2:
            return iterate_perturbed_batch_avx2(orbit, max_iterations, pixels, count, budget);
        case SimdLevel::avx512:
            return iterate_perturbed_batch_avx512(orbit, max_iterations, pixels, count, budget);
#endif
#endif
        default:
            return iterate_perturbed_scalar(orbit, max_iterations, pixels, count, budget);
    }
}

bool iterate_perturbed_batch(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels,
                             size_t count, const Budget& budget) {
    return iterate_perturbed_batch_at(active_simd_level(), orbit, max_iterations, pixels, count,
                                      budget);
}

}  // namespace quorvel
