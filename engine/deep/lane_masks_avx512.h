// The lane operations both perturbation kernels use on AVX-512: comparisons to
// lane masks, selections and gathers from the reference orbit. Included only
// after its source file has selected this instruction set.
#pragma once

#include "bigfloat/lane_arith_avx512.h"

namespace quorvel::lane_arith {

struct Avx512Masked : Avx512 {
    using mask = __mmask8;
    static mask lt(reg a, reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static mask le(reg a, reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static mask eq(reg a, reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static mask mask_or(mask a, mask b) { return static_cast<mask>(a | b); }
    static mask mask_andnot(mask a, mask b) { return static_cast<mask>(a & ~b); }
    static unsigned bits(mask m) { return m; }
    static reg select(mask m, reg a, reg b) { return _mm512_mask_blend_pd(m, b, a); }
    static reg clear(mask m, reg a) { return _mm512_maskz_mov_pd(static_cast<mask>(~m), a); }
    static reg gather(const double* base, reg index) {
        // The masked forms: the plain ones read undefined source registers.
        return _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xFF,
                                        _mm512_maskz_cvttpd_epi32(0xFF, index), base, 8);
    }
};

}  // namespace quorvel::lane_arith
