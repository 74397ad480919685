// The lane operations both perturbation kernels use on AVX2: comparisons to
// lane masks, selections and gathers from the reference orbit. Included only
// after its source file has selected this instruction set.
#pragma once

#include "bigfloat/lane_arith_avx2.h"

namespace quorvel::lane_arith {

struct Avx2Masked : Avx2 {
    using mask = __m256d;
    static mask lt(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static mask le(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static mask eq(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static mask mask_or(mask a, mask b) { return _mm256_or_pd(a, b); }
    static mask mask_andnot(mask a, mask b) { return _mm256_andnot_pd(b, a); }
    static unsigned bits(mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static reg select(mask m, reg a, reg b) { return _mm256_blendv_pd(b, a, m); }
    static reg clear(mask m, reg a) { return _mm256_andnot_pd(m, a); }
    static reg gather(const double* base, reg index) {
        // The masked form: the plain one reads an undefined source register.
        return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, _mm256_cvttpd_epi32(index),
                                        _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
    }
};

}  // namespace quorvel::lane_arith
