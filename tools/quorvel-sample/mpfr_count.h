// Ground truth for deep pixels: the escape-time count (and the smooth escape
// value) iterated with MPFR at many bits (512 by default), with the engine's
// counting rules.
#pragma once

#include <mpfr.h>

#include <cmath>
#include <cstdint>

#include "bigfloat/big_float.h"
#include "deep/mpfr_number.h"

namespace quorvel::sample {

// The end of the orbit of c rounded to `bits`, iterated at `bits`: the count
// n (the limit for a point that did not escape), and for an escape |z_n|^2
// and |z_{n-1}|^2 rounded to doubles.
struct MpfrEscape {
    uint32_t n;
    double last, previous;
};

inline MpfrEscape mpfr_escape(mpfr_srcptr cx, mpfr_srcptr cy, uint32_t max_iterations,
                              long bits = 512) {
    MpfrNumber c_re(bits), c_im(bits), x(bits), y(bits), xx(bits), yy(bits), r(bits), p(bits);
    mpfr_set(c_re.get(), cx, MPFR_RNDN);
    mpfr_set(c_im.get(), cy, MPFR_RNDN);
    mpfr_set(x.get(), c_re.get(), MPFR_RNDN);
    mpfr_set(y.get(), c_im.get(), MPFR_RNDN);
    mpfr_set_zero(p.get(), 1);  // |z_0|^2
    for (uint32_t n = 1;;) {
        mpfr_sqr(xx.get(), x.get(), MPFR_RNDN);
        mpfr_sqr(yy.get(), y.get(), MPFR_RNDN);
        mpfr_add(r.get(), xx.get(), yy.get(), MPFR_RNDN);
        if (mpfr_cmp_ui(r.get(), 4) >= 0)
            return {n, mpfr_get_d(r.get(), MPFR_RNDN), mpfr_get_d(p.get(), MPFR_RNDN)};
        ++n;
        if (n >= max_iterations) return {n, 0.0, 0.0};
        mpfr_swap(r.get(), p.get());
        mpfr_mul(y.get(), x.get(), y.get(), MPFR_RNDN);
        mpfr_mul_2ui(y.get(), y.get(), 1, MPFR_RNDN);
        mpfr_add(y.get(), y.get(), c_im.get(), MPFR_RNDN);
        mpfr_sub(x.get(), xx.get(), yy.get(), MPFR_RNDN);
        mpfr_add(x.get(), x.get(), c_re.get(), MPFR_RNDN);
    }
}

// c rounded to `bits`, then iterated at `bits`.
inline uint32_t mpfr_count(mpfr_srcptr cx, mpfr_srcptr cy, uint32_t max_iterations,
                           long bits = 512) {
    return mpfr_escape(cx, cy, max_iterations, bits).n;
}

// The continuous escape value s = n + f of an orbit's end: f = -L(z_{n-1}) /
// (L(z_n) - L(z_{n-1})) with L(z) = log2(log2 |z|), tending to 1 where
// |z_{n-1}| <= 1. The limit for a point that did not escape.
inline double smooth_value(const MpfrEscape& e, uint32_t max_iterations) {
    if (e.n >= max_iterations) return e.n;
    if (!(e.previous > 1.0)) return e.n + 1.0;
    const double ln = std::log2(0.5 * std::log2(e.last));
    const double lp = std::log2(0.5 * std::log2(e.previous));
    return e.n - lp / (ln - lp);
}

// s of c rounded to `bits`, from its orbit at `bits`.
inline double mpfr_smooth(mpfr_srcptr cx, mpfr_srcptr cy, uint32_t max_iterations,
                          long bits = 512) {
    return smooth_value(mpfr_escape(cx, cy, max_iterations, bits), max_iterations);
}

inline uint32_t mpfr_count(const BigFloat& cx, const BigFloat& cy, uint32_t max_iterations,
                           long bits = 512) {
    MpfrNumber x(192), y(192);
    set_from_big_float(x.get(), cx);
    set_from_big_float(y.get(), cy);
    return mpfr_count(x.get(), y.get(), max_iterations, bits);
}

// The pixel byte a count gives.
inline uint8_t pixel_byte(uint32_t n, uint32_t max_iterations) {
    return n == max_iterations ? 0 : static_cast<uint8_t>((n - 1) % 255 + 1);
}

}  // namespace quorvel::sample
