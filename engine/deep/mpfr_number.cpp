#include "deep/mpfr_number.h"

#include <gmp.h>

#include <cmath>

namespace quorvel {

void set_from_big_float(mpfr_ptr out, const BigFloat& b) {
    if (b.is_zero()) {
        mpfr_set_zero(out, 1);
        return;
    }
    mpz_t m;
    mpz_init(m);
    mpz_import(m, 6, -1, sizeof(uint32_t), 0, 0, b.mant);
    mpfr_set_z_2exp(out, m, static_cast<mpfr_exp_t>(b.exponent) - 191, MPFR_RNDN);
    if (b.negative) mpfr_neg(out, out, MPFR_RNDN);
    mpz_clear(m);
}

ExtFloat ext_from_mpfr(mpfr_srcptr v) {
    if (mpfr_zero_p(v) || mpfr_nan_p(v)) return ExtFloat();
    if (mpfr_inf_p(v)) return ExtFloat(mpfr_sgn(v) > 0 ? HUGE_VAL : -HUGE_VAL);
    long e = 0;
    // The mantissa in [0.5, 1), rounded to 53 bits.
    const double m = mpfr_get_d_2exp(&e, v, MPFR_RNDN);
    return ExtFloat::make(m, static_cast<int64_t>(e));
}

void set_from_ext(mpfr_ptr out, ExtFloat x) {
    mpfr_set_d(out, x.m, MPFR_RNDN);
    mpfr_mul_2si(out, out, static_cast<long>(x.e), MPFR_RNDN);
}

}  // namespace quorvel
