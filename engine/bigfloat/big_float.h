// BigFloat: a binary floating-point real with a 192-bit significand, used for
// view centres and pixel coordinates once doubles can no longer separate
// neighbouring pixels.
#pragma once

#include <cstdint>

namespace quorvel {

// Value = (-1)^negative * M * 2^(exponent - 191), M = mant[5]..mant[0].
// Non-zero values are normalised (bit 31 of mant[5] set); mant[5] == 0 means
// zero. Stored as these eight words, little-endian, 32 bytes.
struct BigFloat {
    uint32_t mant[6];
    int32_t exponent;
    uint32_t negative;

    BigFloat() : mant{0, 0, 0, 0, 0, 0}, exponent(0), negative(0) {}
    explicit BigFloat(double d);
    // Hexadecimal text form ("+8.0x+0") or, without an 'x', plain decimal.
    // Exponents beyond 32 bits saturate.
    explicit BigFloat(const char* text);

    bool is_zero() const { return mant[5] == 0; }
    // Truncating conversion (towards zero): infinity above the double's
    // range, subnormal or zero below it.
    double to_double() const;
    // Writes the text form, NUL-terminated, at most 63 bytes.
    void to_text(char* out) const;

    BigFloat& operator+=(const BigFloat& b);
    BigFloat& operator-=(const BigFloat& b);
    // Truncated 31-partial-product multiplication; a *= a squares.
    BigFloat& operator*=(const BigFloat& b);

    friend BigFloat operator+(BigFloat a, const BigFloat& b) { return a += b; }
    friend BigFloat operator-(BigFloat a, const BigFloat& b) { return a -= b; }

    // This value with its significand shifted up until the top bit is set (the
    // exponent lowered to match), or the canonical zero. Guards arithmetic
    // against values read from outside the engine.
    BigFloat normalised() const;

    // The 32-byte stored form (eight little-endian words).
    void store(uint8_t out[32]) const;
    static BigFloat load(const uint8_t in[32]);
};

static_assert(sizeof(BigFloat) == 32, "BigFloat is eight 32-bit words");

// 0: equal magnitudes, 1: |a| larger, 2: |b| larger. Both operands non-zero.
int compare_magnitude(const BigFloat& a, const BigFloat& b);
// x <- |y| + |x| aligned to y's exponent; requires |x| <= |y|. Sign untouched.
void add_magnitudes(BigFloat& x, const BigFloat& y);
// x <- |y| - |x| aligned to y's exponent, renormalised; requires |x| < |y|.
void subtract_magnitudes(BigFloat& x, const BigFloat& y);

// An escaped pixel's own z_n (|z_n| >= 2) rounded to doubles: what its smooth
// fraction needs beside c. Kernels of every kind hand it out at the escape.
struct EscapedZ {
    double x = 0.0, y = 0.0;
};

// Escape-time counts for c = cx + i*cy: the smallest k >= 1 with |z_k|^2 >= 4
// if k < max_iterations, otherwise max_iterations. With `z`, an escaped
// pixel's z_k goes there.
uint32_t iterate_big_float(uint32_t max_iterations, const BigFloat& cx, const BigFloat& cy,
                           EscapedZ* z = nullptr);
uint32_t iterate_double(uint32_t max_iterations, double cx, double cy);

// One step z -> z^2 + c in doubles, false (z kept) when z has already escaped.
// Every scalar double kernel steps with this, and the SIMD lanes keep its order
// of operations, so that all of them give the same counts.
inline bool double_step(double cx, double cy, double& x, double& y) {
    const double xx = x * x, yy = y * y, xy = x * y;
    const double y_next = (xy + xy) + cy;  // before the test: it overlaps the branch
    if (xx + yy >= 4.0) return false;
    x = (xx - yy) + cx;
    y = y_next;
    return true;
}

}  // namespace quorvel
