// The batch kernel on AVX2: four lanes per vector. Compiled for AVX2 only
// (never FMA), and called only when the processor has it.
#include <cstddef>
#include <cstdint>

#include "bigfloat/orbit_batch.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

// Everything from here on is compiled for this instruction set only.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "bigfloat/lane_arith_avx2.h"
#include "bigfloat/orbit_lanes.h"

namespace quorvel {
namespace {

struct Avx2 : lane_arith::Avx2 {
    static unsigned ge_mask(reg a, reg b) {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_GE_OQ)));
    }
    static unsigned eq2_mask(reg a, reg b, reg c, reg d) {
        const reg both =
            _mm256_and_pd(_mm256_cmp_pd(a, b, _CMP_EQ_OQ), _mm256_cmp_pd(c, d, _CMP_EQ_OQ));
        return static_cast<unsigned>(_mm256_movemask_pd(both));
    }
};

}  // namespace

bool iterate_double_batch_avx2(uint32_t max_iterations, Orbit* orbits, size_t count,
                               const Budget& budget) {
    return orbit_lanes::run<Avx2>(max_iterations, orbits, count, budget);
}

}  // namespace quorvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
