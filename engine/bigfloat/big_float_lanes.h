// Internal: BigFloat arithmetic on three 64-bit significand lanes. The word
// rules (truncated product, rounding of sums, renormalisation of differences)
// are reproduced exactly, but partial products are combined 64 x 64 -> 128 and
// shifts move whole lanes plus one bit shift. Everything stays in registers;
// loops over whole lanes run only in rare cases (distances or cancellations of
// 64 bits or more). Selections are left to the compiler: measured on escape
// orbits, its mix of branches and conditional moves beats forced cmovs.
//
// On x86-64 the carry chains are written in assembly, because the compiler's
// code for 128-bit carries is about a third slower; QV_BIGFLOAT_PORTABLE
// selects the plain C++ form (the two live in different inline namespaces, so
// a test can compile both). QV_LANES_MULX selects a third form whose products
// use mulx/adcx/adox (BMI2 and ADX), for code run only where the processor
// has them; all three compute the same exact integer sums.
#pragma once

#include <bit>
#include <cstdint>

#include "bigfloat/big_float.h"

#if defined(__x86_64__) && defined(__GNUC__) && defined(__GCC_ASM_FLAG_OUTPUTS__) && \
    !defined(QV_BIGFLOAT_PORTABLE)
#define QV_LANES_X86_ASM 1
#else
#define QV_LANES_X86_ASM 0
#endif

#if QV_LANES_X86_ASM && defined(QV_LANES_MULX)
#define QV_LANES_USE_MULX 1
#else
#define QV_LANES_USE_MULX 0
#endif

namespace quorvel::lanes {
#if QV_LANES_USE_MULX
inline namespace x86_mulx {
#elif QV_LANES_X86_ASM
inline namespace x86_asm {
#else
inline namespace portable {
#endif

using u64 = uint64_t;
using u128 = unsigned __int128;

// Same meaning as BigFloat: m[0] holds mant[1]:mant[0], m[2] holds mant[5]:mant[4].
struct Num {
    u64 m[3];
    int32_t e;
    uint32_t neg;
};

inline Num from(const BigFloat& a) {
    Num r;
    for (int i = 0; i < 3; ++i) r.m[i] = a.mant[2 * i] | (u64(a.mant[2 * i + 1]) << 32);
    r.e = a.exponent;
    r.neg = a.negative;
    return r;
}

inline void store(BigFloat& a, const Num& r) {
    for (int i = 0; i < 3; ++i) {
        a.mant[2 * i] = uint32_t(r.m[i]);
        a.mant[2 * i + 1] = uint32_t(r.m[i] >> 32);
    }
    a.exponent = r.e;
    a.negative = r.neg;
}

// z rounded to doubles, for the smooth fraction of an escaped pixel.
inline EscapedZ escaped_z(const Num& x, const Num& y) {
    BigFloat bx, by;
    store(bx, x);
    store(by, y);
    return EscapedZ{bx.to_double(), by.to_double()};
}

// Zero is recognised by mant[5] alone, whatever the other words hold.
inline bool is_zero(const Num& a) { return (a.m[2] >> 32) == 0; }

// Exponent arithmetic wraps instead of overflowing; engine values never get near.
inline int32_t add_exp(int32_t e, int64_t k) { return int32_t(uint32_t(e) + uint32_t(k)); }

// Bits r.. of hi:lo (0 <= r < 64): one double-precision shift.
inline u64 shift_right(u64 hi, u64 lo, unsigned r) { return (lo >> r) | ((hi << 1) << (63 - r)); }
// hi shifted left by r (0 <= r < 64) with lo's top bits entering.
inline u64 shift_left(u64 hi, u64 lo, unsigned r) { return (hi << r) | ((lo >> 1) >> (63 - r)); }

// l3:l2:l1:l0 += z3:z2:z1:z0; returns the carry out of the top.
inline u64 add_lanes(u64& l0, u64& l1, u64& l2, u64& l3, u64 z0, u64 z1, u64 z2, u64 z3) {
#if QV_LANES_X86_ASM
    bool carry;
    asm("addq %[z0], %[l0]\n\tadcq %[z1], %[l1]\n\tadcq %[z2], %[l2]\n\tadcq %[z3], %[l3]"
        : [l0] "+&r"(l0), [l1] "+&r"(l1), [l2] "+&r"(l2), [l3] "+r"(l3), "=@ccc"(carry)
        : [z0] "rm"(z0), [z1] "rm"(z1), [z2] "rm"(z2), [z3] "rm"(z3));
    return carry;
#else
    u128 t = u128(l0) + z0;
    l0 = u64(t);
    t = u128(l1) + z1 + u64(t >> 64);
    l1 = u64(t);
    t = u128(l2) + z2 + u64(t >> 64);
    l2 = u64(t);
    t = u128(l3) + z3 + u64(t >> 64);
    l3 = u64(t);
    return u64(t >> 64);
#endif
}

// |a| < |b|: signed exponents first, then the significands.
inline bool magnitude_less(const Num& a, const Num& b) {
#if QV_LANES_X86_ASM
    u64 a1 = a.m[1], a2 = a.m[2], ae = uint32_t(a.e) ^ 0x80000000u;
    const u64 be = uint32_t(b.e) ^ 0x80000000u;
    bool less;
    asm("cmpq %[b0], %[a0]\n\tsbbq %[b1], %[a1]\n\tsbbq %[b2], %[a2]\n\tsbbq %[be], %[ae]"
        : [a1] "+&r"(a1), [a2] "+&r"(a2), [ae] "+r"(ae), "=@ccc"(less)
        : [a0] "r"(a.m[0]), [b0] "rm"(b.m[0]), [b1] "rm"(b.m[1]), [b2] "rm"(b.m[2]), [be] "rm"(be));
    return less;
#else
    if (a.e != b.e) return a.e < b.e;
    if (a.m[2] != b.m[2]) return a.m[2] < b.m[2];
    if (a.m[1] != b.m[1]) return a.m[1] < b.m[1];
    return a.m[0] < b.m[0];
#endif
}

inline Num negated(Num a) {
    a.neg ^= 1;
    return a;
}

// Lanes 2..5 of the 384-bit sum of partial products; lanes 0 and 1 only pass
// on their carries. a0 is a.m[0] without its low word, low the upper half of
// the low words' product.
struct ProductLanes {
    u64 p2, p3, p4, p5;
};

#if QV_LANES_USE_MULX
// Two carry chains (CF by adcx, OF by adox) add each row's low and high halves.
[[gnu::always_inline]] inline ProductLanes product_lanes(u64 a0, u64 a1, u64 a2, u64 b0, u64 b1,
                                                         u64 b2, u64 low) {
    u64 p2, p3, p4, p5;
    u64 r0, r1, lo, hi, zero;
    asm("movq %[a0], %%rdx\n\t"
        "mulxq %[b0], %[r0], %[r1]\n\t"
        "addq %[low], %[r0]\n\t"
        "adcq $0, %[r1]\n\t"
        "xorl %k[zero], %k[zero]\n\t"
        "mulxq %[b1], %[lo], %[p2]\n\t"
        "adcxq %[lo], %[r1]\n\t"
        "mulxq %[b2], %[lo], %[p3]\n\t"
        "adcxq %[lo], %[p2]\n\t"
        "adcxq %[zero], %[p3]\n\t"
        // row a1, lanes 1..4
        "movq %[a1], %%rdx\n\t"
        "xorl %k[p4], %k[p4]\n\t"
        "mulxq %[b0], %[lo], %[hi]\n\t"
        "adcxq %[lo], %[r1]\n\t"
        "adoxq %[hi], %[p2]\n\t"
        "mulxq %[b1], %[lo], %[hi]\n\t"
        "adcxq %[lo], %[p2]\n\t"
        "adoxq %[hi], %[p3]\n\t"
        "mulxq %[b2], %[lo], %[hi]\n\t"
        "adcxq %[lo], %[p3]\n\t"
        "adoxq %[hi], %[p4]\n\t"
        "adcxq %[zero], %[p4]\n\t"
        // row a2, lanes 2..5
        "movq %[a2], %%rdx\n\t"
        "xorl %k[p5], %k[p5]\n\t"
        "mulxq %[b0], %[lo], %[hi]\n\t"
        "adcxq %[lo], %[p2]\n\t"
        "adoxq %[hi], %[p3]\n\t"
        "mulxq %[b1], %[lo], %[hi]\n\t"
        "adcxq %[lo], %[p3]\n\t"
        "adoxq %[hi], %[p4]\n\t"
        "mulxq %[b2], %[lo], %[hi]\n\t"
        "adcxq %[lo], %[p4]\n\t"
        "adoxq %[hi], %[p5]\n\t"
        "adcxq %[zero], %[p5]"
        : [r0] "=&r"(r0), [r1] "=&r"(r1), [p2] "=&r"(p2), [p3] "=&r"(p3), [p4] "=&r"(p4),
          [p5] "=&r"(p5), [lo] "=&r"(lo), [hi] "=&r"(hi), [zero] "=&r"(zero)
        : [a0] "rm"(a0), [a1] "rm"(a1), [a2] "rm"(a2), [b0] "rm"(b0), [b1] "rm"(b1), [b2] "rm"(b2),
          [low] "rm"(low)
        : "rdx", "cc");
    (void)r0;
    return {p2, p3, p4, p5};
}
#elif QV_LANES_X86_ASM
// One row of a at a time, mul's rax:rdx carried by add/adc.
[[gnu::always_inline]] inline ProductLanes product_lanes(u64 a0, u64 a1, u64 a2, u64 b0, u64 b1,
                                                         u64 b2, u64 low) {
    u64 p1, p2, p3, p4, p5, c;
    asm("movq %[a0], %%rax\n\t"
        "mulq %[b0]\n\t"
        "addq %[low], %%rax\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %[p1]\n\t"
        "movq %[a0], %%rax\n\t"
        "mulq %[b1]\n\t"
        "addq %%rax, %[p1]\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %[p2]\n\t"
        "movq %[a0], %%rax\n\t"
        "mulq %[b2]\n\t"
        "addq %%rax, %[p2]\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %[p3]\n\t"
        // row a1, lanes 1..4
        "movq %[a1], %%rax\n\t"
        "mulq %[b0]\n\t"
        "addq %%rax, %[p1]\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %[c]\n\t"
        "movq %[a1], %%rax\n\t"
        "mulq %[b1]\n\t"
        "addq %[c], %%rax\n\t"
        "adcq $0, %%rdx\n\t"
        "addq %%rax, %[p2]\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %[c]\n\t"
        "movq %[a1], %%rax\n\t"
        "mulq %[b2]\n\t"
        "addq %[c], %%rax\n\t"
        "adcq $0, %%rdx\n\t"
        "addq %%rax, %[p3]\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %[p4]\n\t"
        // row a2, lanes 2..5
        "movq %[a2], %%rax\n\t"
        "mulq %[b0]\n\t"
        "addq %%rax, %[p2]\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %[c]\n\t"
        "movq %[a2], %%rax\n\t"
        "mulq %[b1]\n\t"
        "addq %[c], %%rax\n\t"
        "adcq $0, %%rdx\n\t"
        "addq %%rax, %[p3]\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %[c]\n\t"
        "movq %[a2], %%rax\n\t"
        "mulq %[b2]\n\t"
        "addq %[c], %%rax\n\t"
        "adcq $0, %%rdx\n\t"
        "addq %%rax, %[p4]\n\t"
        "adcq $0, %%rdx\n\t"
        "movq %%rdx, %[p5]"
        :
        [p1] "=&r"(p1), [p2] "=&r"(p2), [p3] "=&r"(p3), [p4] "=&r"(p4), [p5] "=&r"(p5), [c] "=&r"(c)
        : [a0] "rm"(a0), [a1] "rm"(a1), [a2] "rm"(a2), [b0] "rm"(b0), [b1] "rm"(b1), [b2] "rm"(b2),
          [low] "rm"(low)
        : "rax", "rdx", "cc");
    return {p2, p3, p4, p5};
}
#else
// 128-bit products, each carry taken from the upper half of the last sum.
[[gnu::always_inline]] inline ProductLanes product_lanes(u64 a0, u64 a1, u64 a2, u64 b0, u64 b1,
                                                         u64 b2, u64 low) {
    u128 t = u128(a0) * b0 + low;
    t = u128(a0) * b1 + u64(t >> 64);
    u64 p1 = u64(t);
    t = u128(a0) * b2 + u64(t >> 64);
    u64 p2 = u64(t);
    u64 p3 = u64(t >> 64);
    t = u128(a1) * b0 + p1;
    t = u128(a1) * b1 + p2 + u64(t >> 64);
    p2 = u64(t);
    t = u128(a1) * b2 + p3 + u64(t >> 64);
    p3 = u64(t);
    u64 p4 = u64(t >> 64);
    t = u128(a2) * b0 + p2;
    p2 = u64(t);
    t = u128(a2) * b1 + p3 + u64(t >> 64);
    p3 = u64(t);
    t = u128(a2) * b2 + p4 + u64(t >> 64);
    p4 = u64(t);
    const u64 p5 = u64(t >> 64);
    return {p2, p3, p4, p5};
}
#endif

// Product of two non-zero values: the 31 partial products of the word rule,
// normalised and rounded half up. Since the missing products are exactly
// a.mant[0] x (b's words above mant[0]), the kept sum equals
// (Ma - a.mant[0]) x Mb plus the upper half of a.mant[0] x b.mant[0].
inline Num multiply(const Num& a, const Num& b) {
    const u64 low = ((a.m[0] & 0xFFFFFFFFull) * (b.m[0] & 0xFFFFFFFFull)) & 0xFFFFFFFF00000000ull;
    const auto [p2, p3, p4, p5] =
        product_lanes(a.m[0] & 0xFFFFFFFF00000000ull, a.m[1], a.m[2], b.m[0], b.m[1], b.m[2], low);

    // The top bit of the product is bit 383 or bit 382; shift left by one in
    // the second case.
    const u64 top = p5 >> 63;
    const u64 s = top ^ 1;
    u64 m2 = (p5 << s) | ((p4 >> 63) & s);
    u64 m1 = (p4 << s) | ((p3 >> 63) & s);
    u64 m0 = (p3 << s) | ((p2 >> 63) & s);
    const u64 round = (p2 << s) >> 63;
    u64 spill = 0;
    add_lanes(m0, m1, m2, spill, round, 0, 0, 0);
    // A carry out of the top left all lanes zero: only the top bit remains.
    m2 |= spill << 63;

    Num r;
    r.m[0] = m0;
    r.m[1] = m1;
    r.m[2] = m2;
    r.e = add_exp(a.e, int64_t(b.e) + int64_t(top + spill));
    r.neg = a.neg ^ b.neg;
    return r;
}

// a *= b for a distinct b.
inline Num mul(const Num& a, const Num& b) {
    if (is_zero(a) || is_zero(b)) return Num{{0, 0, 0}, 0, 0};
    return multiply(a, b);
}

// a *= a: the same significand as a product with a copy, exponent doubled, sign 0.
inline Num square(const Num& a) {
    if (is_zero(a)) return a;
    Num r = multiply(a, a);
    r.neg = 0;
    return r;
}

// |y| + |x| (subtract == 0) or |y| - |x| (subtract == 1) aligned to y's
// exponent, with the rounding of the word rules; |x| <= |y| (strictly less
// when subtracting). Returns y's sign word with the new significand and exponent.
//
// Both are one 256-bit sum: y.M sits in the top three lanes, x.M shifted right
// by d keeps up to 64 shifted-out bits in the lowest lane. A sum adds 2^63 there
// so that the first shifted-out bit rounds into the significand; a difference
// keeps the lowest lane only for d <= 1 (exact, guard bit) and negates.
// Everything stays in registers; the loops over whole lanes run only for
// distances of 64 bits or more and for cancellations of 64 bits or more.
[[gnu::always_inline]] inline Num magnitudes(const Num& x, const Num& y, u64 subtract) {
    const int64_t dexp = int64_t(y.e) - int64_t(x.e);
    u64 x2 = x.m[2], x1 = x.m[1], x0 = x.m[0], xf = 0;
    unsigned d = unsigned(dexp) & 63;
    if (dexp >= 64) [[unlikely]] {
        int64_t rest = dexp;
        for (; rest >= 64 && (x2 | x1 | x0 | xf) != 0; rest -= 64) {
            xf = x0;
            x0 = x1;
            x1 = x2;
            x2 = 0;
        }
        d = unsigned(rest) & 63;
    }
    const u64 z3 = x2 >> d;
    const u64 z2 = shift_right(x2, x1, d);
    const u64 z1 = shift_right(x1, x0, d);
    u64 z0 = shift_right(x0, xf, d);

    const u64 neg_mask = u64(0) - subtract;
    z0 &= ~(neg_mask & (u64(0) - u64(dexp >= 2)));
    const u64 low_add = subtract ? 1 : u64(1) << 63;

    u64 l0 = low_add, l1 = y.m[0], l2 = y.m[1], l3 = y.m[2];
    const u64 carry =
        add_lanes(l0, l1, l2, l3, z0 ^ neg_mask, z1 ^ neg_mask, z2 ^ neg_mask, z3 ^ neg_mask) &
        ~subtract;

    // A sum has its top bit at bit 255 or in the carry; a difference may have
    // lost leading bits (any number only when d <= 1).
    int64_t drop = 0;
    if (l3 == 0 && carry == 0) [[unlikely]] {
        if ((l2 | l1 | l0) == 0) return Num{{0, 0, 0}, 0, 0};
        for (; l3 == 0; drop += 64) {
            l3 = l2;
            l2 = l1;
            l1 = l0;
            l0 = 0;
        }
    }
    // With a carry l3 may be 0; its count is then unused, but must stay a valid shift.
    const unsigned lz = unsigned(std::countl_zero(l3)) & 63;
    const u64 up2 = shift_left(l3, l2, lz), up1 = shift_left(l2, l1, lz),
              up0 = shift_left(l1, l0, lz);
    const u64 down2 = (l3 >> 1) | (u64(1) << 63), down1 = shift_right(l3, l2, 1),
              down0 = shift_right(l2, l1, 1);
    Num out;
    out.m[2] = carry ? down2 : up2;
    out.m[1] = carry ? down1 : up1;
    out.m[0] = carry ? down0 : up0;
    out.e = add_exp(y.e, carry ? int64_t(1) : -(int64_t(lz) + drop));
    out.neg = y.neg;
    return out;
}

// The larger magnitude of a and b as y, the smaller as x (sign word 0).
[[gnu::always_inline]] inline void order(const Num& a, const Num& b, Num& x, Num& y) {
    const bool a_smaller = magnitude_less(a, b);
    for (int k = 0; k < 3; ++k) {
        x.m[k] = a_smaller ? a.m[k] : b.m[k];
        y.m[k] = a_smaller ? b.m[k] : a.m[k];
    }
    x.e = a_smaller ? a.e : b.e;
    y.e = a_smaller ? b.e : a.e;
    y.neg = a_smaller ? b.neg : a.neg;
    x.neg = 0;
}

// a + b, where b's sign word has already been flipped for a subtraction.
// Equal magnitudes need no case of their own: the difference is zero, and the
// sum carries out and shifts back to the same significand, one exponent up.
inline Num add(const Num& a, const Num& b) {
    if (is_zero(b)) return a;
    if (is_zero(a)) return b;
    Num x, y;
    order(a, b, x, y);
    return magnitudes(x, y, a.neg != b.neg);
}

// a - b when both are non-zero with the same sign word (the kernel's x^2 - y^2):
// always a difference of magnitudes, so the sum's branch folds away.
inline Num subtract_like_signs(const Num& a, const Num& b) {
    Num x, y;
    order(a, negated(b), x, y);
    return magnitudes(x, y, 1);
}

// The kernel's escape test on S = X + T reads only S's sign and exponent. For
// two positive values the sum's exponent is the larger one or one more, so the
// sum is formed only when the larger exponent is exactly 1.
inline bool escapes(const Num& x, const Num& t) {
    if (!is_zero(x) && !is_zero(t) && (x.neg | t.neg) == 0) {
        const int32_t top = x.e > t.e ? x.e : t.e;
        if (top != 1 && top != INT32_MAX) return top > 1;
    }
    const Num s = add(x, t);
    return s.neg == 0 && s.e > 1;
}

// The 192-bit escape-time loop from z = (x, y) at count n >= 1: true when the
// pixel is done (its count in n), false when stop(), asked every `every`
// iterations, said to stop; z and n then resume the loop exactly.
// Brent's cycle detection: z as it was at count n (0: nothing yet), taken
// again at counts that double each time.
struct Seen {
    Num x{}, y{};
    uint32_t n = 0;
};

inline bool same_bits(const Num& a, const Num& b) {
    return a.m[0] == b.m[0] && a.m[1] == b.m[1] && a.m[2] == b.m[2] && a.e == b.e && a.neg == b.neg;
}

// The escape-time loop from z = (x, y) at count n; true once the pixel escaped
// (z then the escaped z_n) or reached the limit (n the count), false when
// stop() asked for a pause, looked at every `every` iterations. An orbit back
// at the z in `seen` never escapes: it ends at once with the limit's count.
template <class Stop>
inline bool orbit(uint32_t max_iterations, const Num& c_re, const Num& c_im, Num& x, Num& y,
                  uint32_t& n, Seen& seen, uint32_t every, Stop&& stop) {
    uint32_t until = every;
    // A z seen at the present count is the present one.
    uint32_t next_mark = seen.n >= n ? n + 1 : (seen.n > UINT32_MAX / 2 ? UINT32_MAX : 2 * seen.n);
    if (seen.n >= n) seen.n = 0;
    for (;;) {
        const Num t = square(y);
        const Num xx = square(x);
        // Tested before z moves on, so that an escaped pixel keeps its z.
        if (escapes(xx, t)) return true;
        y = mul(y, x);
        y.e = add_exp(y.e, 1);  // 2xy: doubling by the exponent, even for a zero y
        y = add(y, c_im);
        ++n;
        x = !is_zero(xx) && !is_zero(t) && xx.neg == t.neg ? subtract_like_signs(xx, t)
                                                           : add(xx, negated(t));
        x = add(x, c_re);
        if (n >= max_iterations) return true;
        if (same_bits(x, seen.x) && same_bits(y, seen.y) && seen.n != 0) [[unlikely]] {
            n = max_iterations;
            return true;
        }
        if (n >= next_mark) [[unlikely]] {
            seen.x = x;
            seen.y = y;
            seen.n = n;
            next_mark = n > UINT32_MAX / 2 ? UINT32_MAX : 2 * n;
        }
        if (--until == 0) {
            until = every;
            if (stop()) return false;
        }
    }
}

}  // inline namespace
}  // namespace quorvel::lanes
