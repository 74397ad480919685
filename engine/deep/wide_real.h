// WideReal: a binary floating-point real of any precision (MPFR inside), for
// view centres deeper than BigFloat's 192 bits reach, with its text forms and
// its stored form.
#pragma once

#include <mpfr.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bigfloat/big_float.h"
#include "bigfloat/ext_float.h"

namespace quorvel {

// Always finite; zero is +0. Exponents are limited to MPFR's current range
// (magnitudes from 2^-2^30 to 2^2^30 by default). No WideReal is wider than
// kMaxBits: 16.7 million bits reach views of 1e-5,000,000, and the stored form
// refuses more.
class WideReal {
public:
    static constexpr long kMaxBits = 1L << 24;
    static constexpr long kDefaultBits = 192;

    WideReal();                            // 0, at 192 bits
    explicit WideReal(const BigFloat& b);  // exact, 192 bits (exponent clamped to MPFR's range)
    explicit WideReal(double d, long bits = 192);  // exact, at max(bits, 53); NaN and inf give 0
    WideReal(const WideReal& other);
    WideReal(WideReal&& other) noexcept;  // leaves other a valid value
    WideReal& operator=(const WideReal& other);
    WideReal& operator=(WideReal&& other) noexcept;
    ~WideReal();

    long precision() const;
    // Rounded to nearest at `bits` (clamped to [2, kMaxBits]).
    void round_to(long bits);
    // Exactly this + k * step (k an integer, step an ExtFloat), its precision grown as far as
    // exactness needs. Rounded to nearest only beyond kMaxBits; k * step must lie in MPFR's
    // exponent range.
    WideReal plus_scaled(int64_t k, ExtFloat step) const;
    // Exactly a - b (precision grown as needed, up to kMaxBits).
    friend WideReal exact_difference(const WideReal& a, const WideReal& b);

    BigFloat to_big_float() const;  // rounded to nearest into 192 bits, exponent clamped to int32
    double to_double() const;       // rounded to nearest
    ExtFloat to_ext() const;        // rounded to nearest
    static WideReal from_ext(ExtFloat x);          // exact at 192 bits (e within MPFR's range)
    bool fits_big_float() const;                   // true when to_big_float() is exact
    bool operator==(const WideReal& other) const;  // by value, whatever the precisions
    mpfr_srcptr get() const { return value_; }

    // BigFloat's text form with any number of digits and any exponent: sign, one hex digit, '.',
    // hex digits, 'x', the signed decimal exponent of the first digit's top bit ("+8.0x+1" is 2).
    // Every bit is written, trailing zeros dropped, so a value that fits 192 bits is written
    // byte for byte as BigFloat::to_text writes it.
    std::string to_hex_text() const;
    // Scientific decimal, "-1.768610493014677074503e-5": `digits` significant digits rounded to
    // nearest, or fewer when they are exact ("5e-1"). Zero is "0".
    std::string to_decimal(size_t digits) const;
    // The hexadecimal form (any number of digits, read exactly as BigFloat reads its 48; the
    // precision is the narrowest from 192 up that holds it), or a decimal of any length and
    // exponent, rounded to nearest at max(192, ceil(3.33 * significant digits) + 64) bits.
    // Blanks around the number are allowed. nullopt for anything else: empty, junk, no digits,
    // NaN, inf, an exponent beyond int64, or a value outside MPFR's exponent range.
    static std::optional<WideReal> parse(std::string_view text);

    // The stored form, little-endian, 17 + 4 * count bytes:
    //   u32 precision in bits (1 to kMaxBits)
    //   u8  sign (0 or 1)
    //   i64 exponent of the top bit (value = 1.xxx * 2^exponent)
    //   u32 count of 32-bit words, ceil(precision / 32); 0 for zero (then sign and exponent 0)
    //   count u32 words of the significand, least significant first, left-aligned: the top bit
    //   of the last word is set and the bits below the precision are zero.
    void store(std::vector<uint8_t>& out) const;
    // Bytes consumed, or 0 (out untouched) for malformed input; reads nothing past `size`.
    static size_t load(const uint8_t* in, size_t size, WideReal& out);

private:
    struct Bits {
        long n;
    };
    explicit WideReal(Bits bits);  // 0 at that precision
    // a + b or a - b, at no fewer than at_least bits and as many more as exactness needs.
    static WideReal exact_sum(mpfr_srcptr a, mpfr_srcptr b, bool subtract, long at_least);

    mpfr_t value_;
};

// Bits a view's centre needs at this pixel step: from the centre's top bit down to 64 bits below
// the step's top bit, at least 192 (and at most WideReal::kMaxBits).
long centre_bits(const WideReal& centre, ExtFloat pixel_step);

// A radius as text: a decimal with any exponent or the hexadecimal form, rounded to nearest into
// an ExtFloat (whose exponent may go beyond MPFR's range in the hexadecimal form). The sign is
// the caller's to check. nullopt for malformed text.
std::optional<ExtFloat> parse_radius(std::string_view text);
// The exact hexadecimal form of a radius; parse_radius reads it back exactly.
std::string radius_hex_text(ExtFloat radius);

}  // namespace quorvel
