// The lane operations both perturbation kernels use on SSE2: comparisons to
// lane masks, selections and gathers from the reference orbit. Included only
// after its source file has selected this instruction set.
#pragma once

#include "bigfloat/lane_arith_sse2.h"

namespace quorvel::lane_arith {

struct Sse2Masked : Sse2 {
    using mask = __m128d;
    static mask lt(reg a, reg b) { return _mm_cmplt_pd(a, b); }
    static mask le(reg a, reg b) { return _mm_cmple_pd(a, b); }
    static mask eq(reg a, reg b) { return _mm_cmpeq_pd(a, b); }
    static mask mask_or(mask a, mask b) { return _mm_or_pd(a, b); }
    static mask mask_andnot(mask a, mask b) { return _mm_andnot_pd(b, a); }
    static unsigned bits(mask m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static reg select(mask m, reg a, reg b) {
        return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b));
    }
    static reg clear(mask m, reg a) { return _mm_andnot_pd(m, a); }
    static reg gather(const double* base, reg index) {
        const __m128i i = _mm_cvttpd_epi32(index);
        const int i0 = _mm_cvtsi128_si32(i);
        const int i1 = _mm_cvtsi128_si32(_mm_srli_si128(i, 4));
        return _mm_loadh_pd(_mm_load_sd(base + i0), base + i1);
    }
};

}  // namespace quorvel::lane_arith
