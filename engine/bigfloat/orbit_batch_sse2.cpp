// The batch kernel on SSE2: two lanes per vector, part of every x86-64.
#include <cstddef>
#include <cstdint>

#include "bigfloat/orbit_batch.h"
#include "bigfloat/orbit_lanes.h"

#if defined(__x86_64__)

#include <emmintrin.h>

namespace quorvel {
namespace {

struct Sse2 {
    using reg = __m128d;
    static constexpr int W = 2;
    static reg load(const double* p) { return _mm_load_pd(p); }
    static void store(double* p, reg v) { _mm_store_pd(p, v); }
    static reg set1(double d) { return _mm_set1_pd(d); }
    static reg mul(reg a, reg b) { return _mm_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm_sub_pd(a, b); }
    static unsigned ge_mask(reg a, reg b) {
        return static_cast<unsigned>(_mm_movemask_pd(_mm_cmpge_pd(a, b)));
    }
};

}  // namespace

bool iterate_double_batch_sse2(uint32_t max_iterations, Orbit* orbits, size_t count,
                               const Budget& budget) {
    return orbit_lanes::run<Sse2>(max_iterations, orbits, count, budget);
}

}  // namespace quorvel

#endif
