// The lane arithmetic both batch kernels use on SSE2, two doubles a vector.
// Included only after its source file has selected this instruction set.
#pragma once

#include <emmintrin.h>

namespace quorvel::lane_arith {

struct Sse2 {
    using reg = __m128d;
    static constexpr int W = 2;
    static reg load(const double* p) { return _mm_load_pd(p); }
    static void store(double* p, reg v) { _mm_store_pd(p, v); }
    static reg set1(double d) { return _mm_set1_pd(d); }
    static reg mul(reg a, reg b) { return _mm_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm_sub_pd(a, b); }
};

}  // namespace quorvel::lane_arith
