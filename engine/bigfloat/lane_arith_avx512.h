// The lane arithmetic both batch kernels use on AVX-512, eight doubles a
// vector. Included only after its source file has selected this instruction
// set.
#pragma once

#include <immintrin.h>

namespace quorvel::lane_arith {

struct Avx512 {
    using reg = __m512d;
    static constexpr int W = 8;
    static reg load(const double* p) { return _mm512_load_pd(p); }
    static void store(double* p, reg v) { _mm512_store_pd(p, v); }
    static reg set1(double d) { return _mm512_set1_pd(d); }
    static reg mul(reg a, reg b) { return _mm512_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm512_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm512_sub_pd(a, b); }
};

}  // namespace quorvel::lane_arith
