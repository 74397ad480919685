// The batch kernel on SSE2: two lanes per vector, part of every x86-64.
#include <cstddef>
#include <cstdint>

#include "bigfloat/orbit_batch.h"
#include "bigfloat/orbit_lanes.h"

#if defined(__x86_64__)

#include <emmintrin.h>

#include "bigfloat/lane_arith_sse2.h"

namespace quorvel {
namespace {

struct Sse2 : lane_arith::Sse2 {
    static unsigned ge_mask(reg a, reg b) {
        return static_cast<unsigned>(_mm_movemask_pd(_mm_cmpge_pd(a, b)));
    }
    static unsigned eq2_mask(reg a, reg b, reg c, reg d) {
        return static_cast<unsigned>(
            _mm_movemask_pd(_mm_and_pd(_mm_cmpeq_pd(a, b), _mm_cmpeq_pd(c, d))));
    }
};

}  // namespace

bool iterate_double_batch_sse2(uint32_t max_iterations, Orbit* orbits, size_t count,
                               const Budget& budget) {
    return orbit_lanes::run<Sse2>(max_iterations, orbits, count, budget);
}

}  // namespace quorvel

#endif
