#include "deep/mpfr_number.h"

#include <gmp.h>

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

ExtFloat ext_from_mpfr(mpfr_srcptr x) {
    if (!mpfr_regular_p(x)) return ExtFloat(mpfr_get_d(x, MPFR_RNDN));
    long exponent = 0;
    // 0.5 <= |d| < 1, rounded to 53 bits.
    const double d = mpfr_get_d_2exp(&exponent, x, MPFR_RNDN);
    return ExtFloat::make(d, exponent);
}

void set_from_ext(mpfr_ptr out, ExtFloat x) {
    mpfr_set_d(out, x.m, MPFR_RNDN);
    if (mpfr_regular_p(out)) mpfr_mul_2si(out, out, static_cast<long>(x.e), MPFR_RNDN);
}

}  // namespace quorvel
