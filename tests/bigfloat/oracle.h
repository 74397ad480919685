// Exact reference for the BigFloat word rules, written directly from the rules
// with GMP integers; shares nothing with the engine's arithmetic.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "bigfloat/big_float.h"

namespace quorvel::oracle {

// An mpz significand with exponent and sign; mant[5] == 0 counts as zero.
class Ref {
public:
    Ref() { mpz_init(m); }
    explicit Ref(const BigFloat& b) : Ref() {
        mpz_set_ui(m, 0);
        for (int i = 5; i >= 0; --i) {
            mpz_mul_2exp(m, m, 32);
            mpz_add_ui(m, m, b.mant[i]);
        }
        e = b.exponent;
        neg = b.negative;
    }
    Ref(const Ref& o) : Ref() { *this = o; }
    Ref& operator=(const Ref& o) {
        mpz_set(m, o.m);
        e = o.e;
        neg = o.neg;
        return *this;
    }
    ~Ref() { mpz_clear(m); }

    BigFloat to_big_float() const {
        BigFloat b;
        mpz_t w;
        mpz_init(w);
        for (int i = 0; i < 6; ++i) {
            mpz_tdiv_q_2exp(w, m, 32 * i);
            b.mant[i] = uint32_t(mpz_get_ui(w) & 0xFFFFFFFFu);
        }
        mpz_clear(w);
        b.exponent = int32_t(e);
        b.negative = neg;
        return b;
    }
    bool zero() const {
        mpz_t top;
        mpz_init(top);
        mpz_tdiv_q_2exp(top, m, 160);
        const bool z = mpz_sgn(top) == 0;
        mpz_clear(top);
        return z;
    }
    void set_canonical_zero() {
        mpz_set_ui(m, 0);
        e = 0;
        neg = 0;
    }

    mpz_t m;
    int64_t e = 0;
    uint32_t neg = 0;
};

// 0 equal, 1 a larger, 2 b larger (both non-zero).
inline int compare(const Ref& a, const Ref& b) {
    if (a.e != b.e) return a.e > b.e ? 1 : 2;
    const int c = mpz_cmp(a.m, b.m);
    return c == 0 ? 0 : c > 0 ? 1 : 2;
}

// The 31 partial products, normalised, rounded half up on the first dropped bit.
inline Ref multiply(const Ref& a, const Ref& b, bool squaring) {
    Ref r;
    if (squaring ? a.zero() : (a.zero() || b.zero())) {
        if (squaring) return a;
        return r;
    }
    uint64_t aw[6], bw[6];
    const BigFloat ab = a.to_big_float(), bb = b.to_big_float();
    for (int i = 0; i < 6; ++i) aw[i] = ab.mant[i], bw[i] = bb.mant[i];
    mpz_t p, term;
    mpz_inits(p, term, nullptr);
    for (int i = 0; i < 6; ++i) {
        uint64_t prod = aw[i] * bw[0];
        if (i == 0) prod &= 0xFFFFFFFF00000000ull;
        mpz_set_ui(term, prod);
        mpz_mul_2exp(term, term, 32 * i);
        mpz_add(p, p, term);
    }
    for (int i = 1; i < 6; ++i)
        for (int j = 1; j < 6; ++j) {
            mpz_set_ui(term, aw[i] * bw[j]);
            mpz_mul_2exp(term, term, 32 * (i + j));
            mpz_add(p, p, term);
        }
    r.e = squaring ? 2 * a.e : a.e + b.e;
    r.neg = squaring ? 0 : (a.neg ^ b.neg);
    int round;
    if (mpz_tstbit(p, 383)) {
        r.e += 1;
        mpz_tdiv_q_2exp(r.m, p, 192);
        round = mpz_tstbit(p, 191);
    } else {
        mpz_tdiv_q_2exp(r.m, p, 191);
        round = mpz_tstbit(p, 190);
    }
    mpz_add_ui(r.m, r.m, unsigned(round));
    if (mpz_sizeinbase(r.m, 2) > 192) {
        mpz_set_ui(r.m, 1);
        mpz_mul_2exp(r.m, r.m, 191);
        r.e += 1;
    }
    r.e = int32_t(uint32_t(r.e));
    mpz_clears(p, term, nullptr);
    return r;
}

// x <- |y| + |x| aligned to y (sign of x kept).
inline Ref add_magnitudes(const Ref& x, const Ref& y) {
    Ref r;
    r.neg = x.neg;
    r.e = y.e;
    const int64_t d = y.e - x.e;
    mpz_set(r.m, y.m);
    if (d == 0) {
        mpz_add(r.m, r.m, x.m);
    } else if (d < 192) {
        mpz_t s;
        mpz_init(s);
        mpz_tdiv_q_2exp(s, x.m, mp_bitcnt_t(d));
        mpz_add(r.m, r.m, s);
        mpz_add_ui(r.m, r.m, unsigned(mpz_tstbit(x.m, mp_bitcnt_t(d - 1))));
        mpz_clear(s);
    } else if (d == 192) {
        mpz_add_ui(r.m, r.m, 1);
    }
    if (mpz_tstbit(r.m, 192)) {
        mpz_tdiv_q_2exp(r.m, r.m, 1);
        r.e += 1;
    }
    return r;
}

// x <- |y| - |x| aligned to y, renormalised (sign of x kept).
inline Ref subtract_magnitudes(const Ref& x, const Ref& y) {
    Ref r;
    r.neg = x.neg;
    r.e = y.e;
    const int64_t d = y.e - x.e;
    mpz_t diff;
    mpz_init(diff);
    if (d == 1) {
        // 193 bits: 2y - x, the guard bit at the bottom.
        mpz_mul_2exp(diff, y.m, 1);
        mpz_sub(diff, diff, x.m);
        if (mpz_tstbit(diff, 192)) {
            mpz_tdiv_q_2exp(r.m, diff, 1);
        } else {
            mpz_set(r.m, diff);
            r.e -= 1;
            while (!mpz_tstbit(r.m, 191)) {
                mpz_mul_2exp(r.m, r.m, 1);
                r.e -= 1;
            }
        }
    } else {
        mpz_set(diff, y.m);
        if (d < 192) {
            mpz_t s;
            mpz_init(s);
            mpz_tdiv_q_2exp(s, x.m, mp_bitcnt_t(d));
            mpz_sub(diff, diff, s);
            mpz_clear(s);
        }
        mpz_set(r.m, diff);
        if (!mpz_tstbit(r.m, 191)) {
            mpz_mul_2exp(r.m, r.m, 1);
            r.e -= 1;
            if (d == 0)
                while (!mpz_tstbit(r.m, 191)) {
                    mpz_mul_2exp(r.m, r.m, 1);
                    r.e -= 1;
                }
        }
    }
    mpz_clear(diff);
    return r;
}

// a += b, row by row from its case table.
inline Ref plus(const Ref& a, const Ref& b) {
    if (b.zero()) return a;
    if (a.zero()) return b;
    const int c = compare(a, b);
    const bool same = a.neg == b.neg;
    Ref r;
    if (c == 0 && same) {
        r = a;
        r.e += 1;
    } else if (c == 0) {
        r.set_canonical_zero();
    } else if (c == 1 && same) {
        r = add_magnitudes(b, a);
        r.neg = a.neg;
    } else if (c == 1) {
        r = subtract_magnitudes(b, a);
        r.neg = a.neg;
    } else if (same) {
        r = add_magnitudes(a, b);
        r.neg = a.neg;
    } else {
        r = subtract_magnitudes(a, b);
        r.neg = b.neg;
    }
    return r;
}

// a -= b, row by row from its case table.
inline Ref minus(const Ref& a, const Ref& b) {
    if (b.zero()) return a;
    Ref r;
    if (a.zero()) {
        r = b;
        r.neg ^= 1;
        return r;
    }
    const int c = compare(a, b);
    const bool same = a.neg == b.neg;
    if (c == 0 && same) {
        r.set_canonical_zero();
    } else if (c == 0) {
        r = a;
        r.e += 1;
    } else if (c == 1 && same) {
        r = subtract_magnitudes(b, a);
        r.neg = a.neg;
    } else if (c == 1) {
        r = add_magnitudes(b, a);
        r.neg = a.neg;
    } else if (same) {
        r = subtract_magnitudes(a, b);
        r.neg = a.neg ^ 1;
    } else {
        r = add_magnitudes(a, b);
        r.neg = a.neg;
    }
    return r;
}

}  // namespace quorvel::oracle
