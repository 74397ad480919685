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

}  // namespace quorvel
