// The lane arithmetic both batch kernels use on AVX2, four doubles a vector.
// Included only after its source file has selected this instruction set.
#pragma once

#include <immintrin.h>

namespace quorvel::lane_arith {

struct Avx2 {
    using reg = __m256d;
    static constexpr int W = 4;
    static reg load(const double* p) { return _mm256_load_pd(p); }
    static void store(double* p, reg v) { _mm256_store_pd(p, v); }
    static reg set1(double d) { return _mm256_set1_pd(d); }
    static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm256_sub_pd(a, b); }
};

}  // namespace quorvel::lane_arith
