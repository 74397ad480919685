// The batch kernel on AVX-512: eight lanes per vector. Compiled for
// AVX-512 F/DQ/BW/VL, called only when the processor has them; the kernel
// uses separate multiplies and adds, never fused ones.
#include <cstddef>
#include <cstdint>

#include "bigfloat/orbit_batch.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

// Everything from here on is compiled for this instruction set only.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")
#endif

#include "bigfloat/lane_arith_avx512.h"
#include "bigfloat/orbit_lanes.h"

namespace quorvel {
namespace {

struct Avx512 : lane_arith::Avx512 {
    static unsigned ge_mask(reg a, reg b) {
        return static_cast<unsigned>(_mm512_cmp_pd_mask(a, b, _CMP_GE_OQ));
    }
    static unsigned eq2_mask(reg a, reg b, reg c, reg d) {
        return static_cast<unsigned>(_mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ) &
                                     _mm512_cmp_pd_mask(c, d, _CMP_EQ_OQ));
    }
};

}  // namespace

bool iterate_double_batch_avx512(uint32_t max_iterations, Orbit* orbits, size_t count,
                                 const Budget& budget) {
    return orbit_lanes::run<Avx512>(max_iterations, orbits, count, budget);
}

}  // namespace quorvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
