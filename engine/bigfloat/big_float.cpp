// BigFloat construction, conversion to and from double, the text form and the
// 32-byte stored form.
#include "bigfloat/big_float.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "base/little_endian.h"

namespace quorvel {

namespace {

uint64_t double_bits(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// White space as the "C" locale knows it.
bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// atoi-like, but saturating instead of overflowing, and independent of the
// locale.
int64_t read_exponent(const char* p) {
    while (is_blank(*p)) ++p;
    const bool minus = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    // Unsigned: a second sign reads no digits.
    uint32_t magnitude = 0;
    if (std::from_chars(p, p + std::strlen(p), magnitude).ec == std::errc::result_out_of_range)
        magnitude = UINT32_MAX;
    return minus ? std::max<int64_t>(-int64_t(magnitude), INT32_MIN)
                 : std::min<int64_t>(magnitude, INT32_MAX);
}

// True when the number text in [first, last) has an exponent part with a
// minus sign ('e' for decimal, 'p' for hexadecimal digits).
bool has_negative_exponent(const char* first, const char* last) {
    for (const char* p = first; p + 1 < last; ++p)
        if ((*p == 'e' || *p == 'E' || *p == 'p' || *p == 'P') && p[1] == '-') return true;
    return false;
}

// Reads a number as atof does in the "C" locale, whatever locale the process
// has: blanks, one optional sign, then the longest number that follows; zero
// when there is none, infinity or zero when it is out of range.
double read_decimal(const char* text) {
    const char* p = text;
    while (is_blank(*p)) ++p;
    bool minus = false;
    if (*p == '+' || *p == '-') {
        minus = *p == '-';
        ++p;
    }
    if (*p == '+' || *p == '-') return 0.0;  // a second sign: no number
    const char* end = p + std::strlen(p);
    // Only an upper-case X reaches here; the lower-case one marks the
    // hexadecimal BigFloat form.
    auto format = std::chars_format::general;
    if (p[0] == '0' && p[1] == 'X') {
        format = std::chars_format::hex;
        p += 2;
    }
    double value = 0.0;
    const auto [stop, error] = std::from_chars(p, end, value, format);
    if (error == std::errc::result_out_of_range) {
        // Beyond double but perhaps within long double, which rounds it to
        // infinity or to zero as atof would.
        long double wide = 0.0L;
        if (std::from_chars(p, end, wide, format).ec == std::errc())
            value = static_cast<double>(wide);
        else
            value = has_negative_exponent(p, stop) ? 0.0 : HUGE_VAL;
    }
    return minus ? -value : value;
}

int32_t clamp_exponent(int64_t e) {
    if (e > INT32_MAX) return INT32_MAX;
    if (e < INT32_MIN) return INT32_MIN;
    return int32_t(e);
}

}  // namespace

BigFloat::BigFloat(double d) : BigFloat() {
    const uint64_t bits = double_bits(d);
    // Only the upper word (without the sign) is tested: -0.0 becomes +0.
    if (((bits >> 32) & 0x7FFFFFFFu) == 0) return;
    negative = uint32_t(bits >> 63);
    exponent = int32_t((bits >> 52) & 0x7FF) - 1023;
    const uint64_t fraction = bits & 0xFFFFFFFFFFFFFull;
    mant[5] = 0x80000000u | uint32_t(fraction >> 21);
    mant[4] = uint32_t(fraction << 11);
}

BigFloat::BigFloat(const char* text) : BigFloat() {
    if (text == nullptr) return;
    const char* x = std::strchr(text, 'x');
    if (x == nullptr) {
        *this = BigFloat(read_decimal(text));
        return;
    }
    int64_t e = read_exponent(x + 1);

    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    uint32_t sign = 0;
    if (*p == '-' || *p == '+') {
        sign = *p == '-';
        ++p;
    }
    int digits = 0;
    for (; *p != '\0' && digits < 48; ++p) {
        if (*p == '.') {
            e += 4 * (digits - 1);
            continue;
        }
        const int v = hex_value(*p);
        if (v < 0) break;
        const int bit = 188 - 4 * digits;
        mant[bit / 32] |= uint32_t(v) << (bit % 32);
        ++digits;
    }
    negative = sign;
    // A top digit below 8 (or a leading 0) would leave the top bit clear, which
    // the arithmetic and the escape test cannot handle: normalise here. The
    // shift joins the text's exponent before the clamp, so neither can wrap it.
    *this = normalised();
    if (!is_zero()) exponent = clamp_exponent(e + exponent);
}

double BigFloat::to_double() const {
    if (mant[5] == 0) return 0.0;
    uint64_t fraction = (uint64_t(mant[5] & 0x7FFFFFFFu) << 21) | uint64_t(mant[4] >> 11);
    uint64_t biased = uint64_t(int64_t(exponent) + 1023);
    // Beyond the double's range the exponent must not wrap: infinity above,
    // below it the subnormals, truncated as the normal range is, then zero.
    if (exponent > 1023) {
        biased = 0x7FF;
        fraction = 0;
    } else if (exponent < -1022) {
        const int64_t shift = -1022 - int64_t(exponent);
        fraction = shift > 52 ? 0 : ((uint64_t(1) << 52) | fraction) >> shift;
        biased = 0;
    }
    const uint64_t bits = (uint64_t(negative != 0) << 63) | (biased << 52) | fraction;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

void BigFloat::to_text(char* out) const {
    char* p = out;
    p += std::snprintf(p, 4, negative ? "-%1X." : "+%1X.", unsigned(mant[5] >> 28));
    char digits[48];
    std::snprintf(digits, sizeof digits, "%07X%08X%08X%08X%08X%08X", unsigned(mant[5] & 0xFFFFFFFu),
                  unsigned(mant[4]), unsigned(mant[3]), unsigned(mant[2]), unsigned(mant[1]),
                  unsigned(mant[0]));
    int n = 47;
    while (n > 1 && digits[n - 1] == '0') --n;
    std::memcpy(p, digits, size_t(n));
    p += n;
    std::snprintf(p, 13, "x%+d", int(exponent));
}

void BigFloat::store(uint8_t out[32]) const {
    uint32_t words[8] = {mant[0], mant[1], mant[2], mant[3], mant[4], mant[5], uint32_t(exponent),
                         negative};
    for (int i = 0; i < 8; ++i) store_le32(out + 4 * i, words[i]);
}

BigFloat BigFloat::load(const uint8_t in[32]) {
    uint32_t words[8];
    for (int i = 0; i < 8; ++i) words[i] = load_le32(in + 4 * i);
    BigFloat r;
    for (int i = 0; i < 6; ++i) r.mant[i] = words[i];
    r.exponent = int32_t(words[6]);
    r.negative = words[7];
    return r;
}

}  // namespace quorvel
