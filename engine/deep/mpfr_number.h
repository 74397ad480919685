// A scoped MPFR number and the conversions from BigFloat and to and from
// ExtFloat.
#pragma once

#include <mpfr.h>

#include "bigfloat/big_float.h"
#include "bigfloat/ext_float.h"

namespace quorvel {

class MpfrNumber {
public:
    explicit MpfrNumber(mpfr_prec_t bits) { mpfr_init2(value_, bits); }
    ~MpfrNumber() { mpfr_clear(value_); }
    MpfrNumber(const MpfrNumber&) = delete;
    MpfrNumber& operator=(const MpfrNumber&) = delete;

    mpfr_ptr get() { return value_; }
    mpfr_srcptr get() const { return value_; }

private:
    mpfr_t value_;
};

// out = b, rounded to out's precision (exact from 192 bits up).
void set_from_big_float(mpfr_ptr out, const BigFloat& b);
// x rounded to nearest; zero, infinities and NaN as themselves.
ExtFloat ext_from_mpfr(mpfr_srcptr x);
// out = x, exact when out has 53 bits or more; beyond MPFR's exponent range
// (mpfr_get_emin/emax) it overflows or underflows as MPFR does.
void set_from_ext(mpfr_ptr out, ExtFloat x);

}  // namespace quorvel
