// WideReal: construction, exact sums, conversions, the text forms and the
// stored form.
#include "deep/wide_real.h"

#include <gmp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

#include "base/little_endian.h"
#include "deep/mpfr_number.h"

namespace quorvel {

// Exponents and shifts are handed to MPFR as long.
static_assert(sizeof(long) >= sizeof(int64_t) && sizeof(mpfr_exp_t) >= sizeof(int64_t),
              "MPFR's exponents hold any int64");

namespace {

constexpr long kBigFloatBits = 192;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

class Integer {
public:
    Integer() { mpz_init(value_); }
    ~Integer() { mpz_clear(value_); }
    Integer(const Integer&) = delete;
    Integer& operator=(const Integer&) = delete;
    mpz_ptr get() { return value_; }

private:
    mpz_t value_;
};

// MPFR's flags are process state that other code may read: whoever tests them
// puts them back.
class KeptFlags {
public:
    KeptFlags() : saved_(mpfr_flags_save()) { mpfr_clear_flags(); }
    ~KeptFlags() { mpfr_flags_restore(saved_, MPFR_FLAGS_ALL); }
    KeptFlags(const KeptFlags&) = delete;
    KeptFlags& operator=(const KeptFlags&) = delete;

private:
    mpfr_flags_t saved_;
};

long clamp_bits(long bits) { return std::clamp(bits, 2L, WideReal::kMaxBits); }

// Whether a value whose MPFR exponent (top bit 2^(e-1)) is e fits MPFR's range.
bool in_mpfr_range(int64_t e) { return e >= mpfr_get_emin() && e <= mpfr_get_emax(); }

// Every WideReal is finite and its zero is +0: an overflow saturates.
void settle(mpfr_ptr x) {
    if (mpfr_inf_p(x)) {
        if (mpfr_signbit(x)) {
            mpfr_nextabove(x);
        } else {
            mpfr_nextbelow(x);
        }
    } else if (mpfr_zero_p(x) || mpfr_nan_p(x)) {
        mpfr_set_zero(x, 1);
    }
}

// x's significand rounded to nearest at `bits` into z (exactly `bits` bits), and
// the exponent of its top bit. Works at exponent 1 so that rounding up cannot
// overflow MPFR's range.
int64_t rounded_significand(mpfr_srcptr x, long bits, mpz_ptr z) {
    MpfrNumber t(mpfr_get_prec(x));
    mpfr_set(t.get(), x, MPFR_RNDN);
    mpfr_set_exp(t.get(), 1);
    mpfr_prec_round(t.get(), bits, MPFR_RNDN);
    mpfr_get_z_2exp(z, t.get());
    mpz_abs(z, z);
    return int64_t(mpfr_get_exp(x) - 1) + int64_t(mpfr_get_exp(t.get()) - 1);
}

// snprintf, not std::to_string: the library must not export libstdc++'s
// unique digit tables. Signed ("+5", "-3") when asked.
std::string decimal_integer(int64_t n, bool with_sign) {
    char text[32];
    std::snprintf(text, sizeof text, with_sign ? "%+lld" : "%lld", static_cast<long long>(n));
    return text;
}

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// A whole text as a signed decimal int64 ("+12", "-3", "7"); nullopt when it
// is anything else or out of range.
std::optional<int64_t> read_int64(std::string_view text) {
    const bool minus = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
    if (text.empty() || !is_digit(text[0])) return std::nullopt;
    uint64_t magnitude = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, magnitude);
    if (error != std::errc() || stop != end) return std::nullopt;
    if (magnitude > uint64_t(kInt64Max) + (minus ? 1 : 0)) return std::nullopt;
    return minus ? int64_t(0 - magnitude) : int64_t(magnitude);
}

// The hexadecimal form, taken apart: value = (-1)^negative * digits *
// 2^(exponent - 3 - 4 * after_point), which is how BigFloat reads it (the
// exponent is that of the top bit of the digit before the point).
struct HexNumber {
    bool negative = false;
    Integer digits;
    int64_t exponent = 0;
    int64_t after_point = 0;
};

bool read_hex(std::string_view text, HexNumber& out) {
    const size_t x = text.find('x');
    if (x == std::string_view::npos) return false;
    const std::optional<int64_t> exponent = read_int64(text.substr(x + 1));
    if (!exponent) return false;
    std::string_view mantissa = text.substr(0, x);
    if (!mantissa.empty() && (mantissa[0] == '+' || mantissa[0] == '-')) {
        out.negative = mantissa[0] == '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    digits.reserve(mantissa.size());
    size_t point = std::string::npos;
    for (const char c : mantissa) {
        if (c == '.' && point == std::string::npos) {
            point = digits.size();
        } else if (hex_value(c) >= 0) {
            digits += c;
        } else {
            return false;
        }
    }
    if (digits.empty()) return false;
    // Without a point, the first digit leads, as in BigFloat.
    if (point == std::string::npos) point = 1;
    out.exponent = *exponent;
    out.after_point = int64_t(digits.size()) - int64_t(point);
    return mpz_set_str(out.digits.get(), digits.c_str(), 16) == 0;
}

// The binary exponent of the last digit, exponent - 3 - 4 * after_point.
std::optional<int64_t> hex_shift(const HexNumber& hex) {
    int64_t scaled, shift;
    if (__builtin_mul_overflow(hex.after_point, int64_t(4), &scaled) ||
        __builtin_sub_overflow(hex.exponent, scaled, &shift) ||
        __builtin_sub_overflow(shift, int64_t(3), &shift))
        return std::nullopt;
    return shift;
}

// A decimal, taken apart: value = (-1)^negative * digits * 10^exponent, digits
// without leading zeros (empty for zero).
struct DecimalNumber {
    bool negative = false;
    std::string digits;
    int64_t exponent = 0;
};

bool read_decimal(std::string_view text, DecimalNumber& out) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) out.negative = text[i++] == '-';
    std::string digits;
    int64_t after_point = 0, count = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !point) {
            point = true;
        } else if (is_digit(c)) {
            ++count;
            after_point += point;
            if (c != '0' || !digits.empty()) digits += c;
        } else {
            break;
        }
    }
    if (count == 0) return false;
    int64_t exponent = 0;
    if (i < text.size()) {
        if (text[i] != 'e' && text[i] != 'E') return false;
        const std::optional<int64_t> written = read_int64(text.substr(i + 1));
        if (!written) return false;
        exponent = *written;
    }
    if (__builtin_sub_overflow(exponent, after_point, &out.exponent)) return false;
    out.digits = std::move(digits);
    return true;
}

// out = the decimal, rounded to nearest at out's precision; false when it lies
// outside MPFR's exponent range.
bool decimal_to_mpfr(const DecimalNumber& decimal, mpfr_ptr out) {
    if (decimal.digits.empty()) {
        mpfr_set_zero(out, 1);
        return true;
    }
    // The decimal exponent of the leading digit, checked roughly first so that
    // MPFR never meets an exponent near long's limits.
    int64_t lead;
    if (__builtin_add_overflow(decimal.exponent, int64_t(decimal.digits.size()) - 1, &lead))
        return false;
    constexpr double kLog2Of10 = 3.3219280948873623;
    if (double(lead) * kLog2Of10 > double(mpfr_get_emax()) + 8.0 ||
        double(lead + 1) * kLog2Of10 < double(mpfr_get_emin()) - 8.0)
        return false;
    // Plain digits and an integer exponent: no decimal point, so no locale.
    const std::string text = decimal.digits + "e" + decimal_integer(decimal.exponent, false);
    KeptFlags flags;
    char* end = nullptr;
    mpfr_strtofr(out, text.c_str(), &end, 10, MPFR_RNDN);
    if (end != text.c_str() + text.size() || mpfr_overflow_p() || mpfr_underflow_p() ||
        !mpfr_number_p(out))
        return false;
    if (decimal.negative) mpfr_neg(out, out, MPFR_RNDN);
    return true;
}

// The significand z (of `bits` bits, top bit set) as hexadecimal digits with
// the first digit's top bit leading, trailing zeros dropped but one kept after
// the point.
std::string hex_digits(mpz_ptr z, long bits) {
    mpz_mul_2exp(z, z, (4 - bits % 4) % 4);
    std::string digits(mpz_sizeinbase(z, 16) + 2, '\0');
    mpz_get_str(digits.data(), 16, z);
    digits.resize(std::strlen(digits.c_str()));
    size_t end = digits.size();
    while (end > 2 && digits[end - 1] == '0') --end;
    digits.resize(std::max<size_t>(end, 2), '0');
    for (char& c : digits)
        if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
    digits.insert(1, 1, '.');
    return digits;
}

std::string hex_text(bool negative, const std::string& digits, int64_t exponent) {
    std::string text = negative ? "-" : "+";
    text += digits;
    text += 'x';
    return text + decimal_integer(exponent, true);
}

}  // namespace

WideReal::WideReal() {
    mpfr_init2(value_, kDefaultBits);
    mpfr_set_zero(value_, 1);
}

WideReal::WideReal(Bits bits) {
    mpfr_init2(value_, bits.n);
    mpfr_set_zero(value_, 1);
}

WideReal::WideReal(const BigFloat& b) : WideReal() {
    if (b.is_zero()) return;
    Integer m;
    mpz_import(m.get(), 6, -1, sizeof(uint32_t), 0, 0, b.mant);
    mpfr_set_z(value_, m.get(), MPFR_RNDN);
    // M * 2^(exponent - 191), and MPFR's exponent is one above the top bit's.
    const int64_t e = int64_t(mpfr_get_exp(value_)) + b.exponent - 191;
    mpfr_set_exp(value_, std::clamp<int64_t>(e, mpfr_get_emin(), mpfr_get_emax()));
    if (b.negative) mpfr_neg(value_, value_, MPFR_RNDN);
}

WideReal::WideReal(double d, long bits) : WideReal(Bits{clamp_bits(std::max(bits, 53L))}) {
    if (std::isfinite(d)) mpfr_set_d(value_, d, MPFR_RNDN);
    settle(value_);
}

WideReal::WideReal(const WideReal& other) {
    mpfr_init2(value_, mpfr_get_prec(other.value_));
    mpfr_set(value_, other.value_, MPFR_RNDN);
}

WideReal::WideReal(WideReal&& other) noexcept : WideReal() { mpfr_swap(value_, other.value_); }

WideReal& WideReal::operator=(const WideReal& other) {
    if (this != &other) {
        mpfr_set_prec(value_, mpfr_get_prec(other.value_));
        mpfr_set(value_, other.value_, MPFR_RNDN);
    }
    return *this;
}

WideReal& WideReal::operator=(WideReal&& other) noexcept {
    mpfr_swap(value_, other.value_);
    return *this;
}

WideReal::~WideReal() { mpfr_clear(value_); }

long WideReal::precision() const { return long(mpfr_get_prec(value_)); }

void WideReal::round_to(long bits) {
    mpfr_prec_round(value_, clamp_bits(bits), MPFR_RNDN);
    settle(value_);
}

WideReal WideReal::exact_sum(mpfr_srcptr a, mpfr_srcptr b, bool subtract, long at_least) {
    // The bits from the sum's possible carry down to the lowest set bit of
    // either operand.
    int64_t needed = 2;
    if (!mpfr_zero_p(a) && !mpfr_zero_p(b)) {
        const int64_t high = std::max<int64_t>(mpfr_get_exp(a), mpfr_get_exp(b)) + 1;
        const int64_t low = std::min<int64_t>(mpfr_get_exp(a) - int64_t(mpfr_min_prec(a)),
                                              mpfr_get_exp(b) - int64_t(mpfr_min_prec(b)));
        if (__builtin_sub_overflow(high, low, &needed)) needed = kMaxBits;
    } else if (!mpfr_zero_p(a) || !mpfr_zero_p(b)) {
        needed = mpfr_min_prec(mpfr_zero_p(a) ? b : a);
    }
    WideReal sum(
        Bits{clamp_bits(long(std::min<int64_t>(std::max<int64_t>(needed, at_least), kMaxBits)))});
    if (subtract) {
        mpfr_sub(sum.value_, a, b, MPFR_RNDN);
    } else {
        mpfr_add(sum.value_, a, b, MPFR_RNDN);
    }
    settle(sum.value_);
    // The carry bit may not have been needed.
    const long narrowest = std::max(at_least, long(mpfr_min_prec(sum.value_)));
    if (narrowest < sum.precision()) mpfr_prec_round(sum.value_, clamp_bits(narrowest), MPFR_RNDN);
    return sum;
}

WideReal WideReal::plus_scaled(int64_t k, ExtFloat step) const {
    if (k == 0 || step.m == 0.0 || !std::isfinite(step.m)) return *this;
    // k * m needs at most 64 + 53 bits, so this product is exact.
    MpfrNumber offset(128);
    mpfr_set_sj(offset.get(), k, MPFR_RNDN);
    mpfr_mul_d(offset.get(), offset.get(), step.m, MPFR_RNDN);
    mpfr_mul_2si(offset.get(), offset.get(), long(step.e), MPFR_RNDN);
    settle(offset.get());
    return exact_sum(value_, offset.get(), false, precision());
}

WideReal exact_difference(const WideReal& a, const WideReal& b) {
    return WideReal::exact_sum(a.value_, b.value_, true, std::max(a.precision(), b.precision()));
}

BigFloat WideReal::to_big_float() const {
    BigFloat b;
    if (mpfr_zero_p(value_)) return b;
    Integer z;
    const int64_t top = rounded_significand(value_, kBigFloatBits, z.get());
    size_t words = 0;
    mpz_export(b.mant, &words, -1, sizeof(uint32_t), 0, 0, z.get());
    b.exponent = int32_t(std::clamp<int64_t>(top, INT32_MIN, INT32_MAX));
    b.negative = mpfr_signbit(value_) ? 1 : 0;
    return b;
}

double WideReal::to_double() const { return mpfr_get_d(value_, MPFR_RNDN); }

ExtFloat WideReal::to_ext() const {
    if (mpfr_zero_p(value_)) return ExtFloat(0.0);
    long e = 0;
    const double half = mpfr_get_d_2exp(&e, value_, MPFR_RNDN);  // 0.5 <= |half| < 1
    return ExtFloat::make(2.0 * half, int64_t(e) - 1);
}

WideReal WideReal::from_ext(ExtFloat x) {
    WideReal r;
    if (x.m == 0.0 || !std::isfinite(x.m)) return r;
    mpfr_set_d(r.value_, x.m, MPFR_RNDN);
    mpfr_mul_2si(r.value_, r.value_, long(x.e), MPFR_RNDN);
    settle(r.value_);
    return r;
}

bool WideReal::fits_big_float() const {
    if (mpfr_zero_p(value_)) return true;
    const int64_t top = int64_t(mpfr_get_exp(value_)) - 1;
    return mpfr_min_prec(value_) <= kBigFloatBits && top >= INT32_MIN && top <= INT32_MAX;
}

bool WideReal::operator==(const WideReal& other) const {
    return mpfr_equal_p(value_, other.value_) != 0;
}

std::string WideReal::to_hex_text() const {
    if (mpfr_zero_p(value_)) return "+0.0x+0";
    Integer z;
    mpfr_get_z_2exp(z.get(), value_);
    mpz_abs(z.get(), z.get());
    return hex_text(mpfr_signbit(value_), hex_digits(z.get(), precision()),
                    int64_t(mpfr_get_exp(value_)) - 1);
}

std::string WideReal::to_decimal(size_t digits) const {
    if (mpfr_zero_p(value_)) return "0";
    const size_t n = std::max<size_t>(digits, 1);
    std::string buffer(std::max<size_t>(n + 2, 7), '\0');
    mpfr_exp_t e = 0;
    bool exact = false;
    {
        KeptFlags flags;
        mpfr_get_str(buffer.data(), &e, 10, n, value_, MPFR_RNDN);
        exact = !mpfr_inexflag_p();
    }
    buffer.resize(std::strlen(buffer.c_str()));
    const bool negative = buffer[0] == '-';
    std::string significand = buffer.substr(negative ? 1 : 0);
    // Exact digits need no trailing zeros to say so.
    if (exact) {
        while (significand.size() > 1 && significand.back() == '0') significand.pop_back();
    }
    std::string text = negative ? "-" : "";
    text += significand[0];
    if (significand.size() > 1) {
        text += '.';
        text.append(significand, 1);
    }
    text += 'e';
    return text + decimal_integer(int64_t(e) - 1, true);
}

std::optional<WideReal> WideReal::parse(std::string_view text) {
    text = trimmed(text);
    if (text.find('x') != std::string_view::npos) {
        HexNumber hex;
        if (!read_hex(text, hex)) return std::nullopt;
        std::optional<int64_t> shift = hex_shift(hex);
        if (!shift) return std::nullopt;
        mpz_ptr digits = hex.digits.get();
        if (mpz_sgn(digits) == 0) return WideReal();
        // Trailing zero bits go into the shift: the narrowest precision holds it.
        const mp_bitcnt_t zeros = mpz_scan1(digits, 0);
        mpz_fdiv_q_2exp(digits, digits, zeros);
        const int64_t bits = int64_t(mpz_sizeinbase(digits, 2));
        int64_t top;
        if (bits > kMaxBits || __builtin_add_overflow(*shift, int64_t(zeros), &*shift) ||
            __builtin_add_overflow(*shift, bits, &top) || !in_mpfr_range(top))
            return std::nullopt;
        WideReal r(Bits{std::max<long>(long(bits), kDefaultBits)});
        mpfr_set_z_2exp(r.value_, digits, *shift, MPFR_RNDN);
        if (hex.negative) mpfr_neg(r.value_, r.value_, MPFR_RNDN);
        return r;
    }
    DecimalNumber decimal;
    if (!read_decimal(text, decimal)) return std::nullopt;
    const int64_t n = int64_t(decimal.digits.size());
    const int64_t bits = n > kMaxBits ? kMaxBits : (333 * n + 99) / 100 + 64;
    WideReal r(Bits{long(std::clamp<int64_t>(bits, kDefaultBits, kMaxBits))});
    if (!decimal_to_mpfr(decimal, r.value_)) return std::nullopt;
    settle(r.value_);
    return r;
}

void WideReal::store(std::vector<uint8_t>& out) const {
    const long bits = precision();
    const bool zero = mpfr_zero_p(value_);
    const uint32_t count = zero ? 0 : uint32_t((bits + 31) / 32);
    std::vector<uint32_t> words(count, 0);
    int64_t exponent = 0;
    if (!zero) {
        Integer z;
        mpfr_get_z_2exp(z.get(), value_);
        mpz_abs(z.get(), z.get());
        mpz_mul_2exp(z.get(), z.get(), 32 * count - uint32_t(bits));  // left-aligned
        size_t written = 0;
        mpz_export(words.data(), &written, -1, sizeof(uint32_t), 0, 0, z.get());
        exponent = int64_t(mpfr_get_exp(value_)) - 1;
    }
    uint8_t* p = &*out.insert(out.end(), 17 + 4 * size_t(count), uint8_t(0));
    store_le32(p, uint32_t(bits));
    p[4] = !zero && mpfr_signbit(value_);
    store_le64(p + 5, uint64_t(exponent));
    store_le32(p + 13, count);
    for (uint32_t i = 0; i < count; ++i) store_le32(p + 17 + 4 * i, words[i]);
}

size_t WideReal::load(const uint8_t* in, size_t size, WideReal& out) {
    if (in == nullptr || size < 17) return 0;
    const uint32_t bits = load_le32(in);
    const uint8_t sign = in[4];
    const int64_t exponent = int64_t(load_le64(in + 5));
    const uint32_t count = load_le32(in + 13);
    if (bits == 0 || bits > uint32_t(kMaxBits) || sign > 1) return 0;
    if (count == 0) {
        if (sign != 0 || exponent != 0) return 0;
        out = WideReal(Bits{long(bits)});
        return 17;
    }
    if (count != (bits + 31) / 32 || (size - 17) / 4 < count) return 0;
    // MPFR's exponent is one above the top bit's.
    if (exponent == kInt64Max || !in_mpfr_range(exponent + 1)) return 0;
    std::vector<uint32_t> words(count);
    for (uint32_t i = 0; i < count; ++i) words[i] = load_le32(in + 17 + 4 * i);
    const uint32_t unused = 32 * count - bits;
    if ((words[count - 1] & 0x80000000u) == 0 || (words[0] & ((1u << unused) - 1u)) != 0) return 0;
    Integer z;
    mpz_import(z.get(), count, -1, sizeof(uint32_t), 0, 0, words.data());
    WideReal r(Bits{long(bits)});
    mpfr_set_z_2exp(r.value_, z.get(), exponent - (32 * int64_t(count) - 1), MPFR_RNDN);
    if (sign) mpfr_neg(r.value_, r.value_, MPFR_RNDN);
    out = std::move(r);
    return 17 + 4 * size_t(count);
}

long centre_bits(const WideReal& centre, ExtFloat pixel_step) {
    if (pixel_step.m == 0.0 || !std::isfinite(pixel_step.m) || mpfr_zero_p(centre.get()))
        return WideReal::kDefaultBits;
    const int64_t centre_top = int64_t(mpfr_get_exp(centre.get())) - 1;
    int64_t step_top, bits;  // step_top is e when the step is normalised
    if (__builtin_add_overflow(pixel_step.e, int64_t(std::ilogb(pixel_step.m)), &step_top))
        return pixel_step.e < 0 ? WideReal::kMaxBits : WideReal::kDefaultBits;
    if (__builtin_sub_overflow(centre_top, step_top, &bits) ||
        __builtin_add_overflow(bits, int64_t(65), &bits))
        bits = centre_top > step_top ? kInt64Max : kInt64Min;
    return long(std::clamp<int64_t>(bits, WideReal::kDefaultBits, WideReal::kMaxBits));
}

std::optional<ExtFloat> parse_radius(std::string_view text) {
    text = trimmed(text);
    MpfrNumber value(53);
    if (text.find('x') != std::string_view::npos) {
        HexNumber hex;
        if (!read_hex(text, hex)) return std::nullopt;
        if (mpz_sgn(hex.digits.get()) == 0) return ExtFloat(0.0);
        // Rounded at exponent 0 and scaled afterwards: the text's exponent may
        // go beyond MPFR's range, not beyond ExtFloat's.
        if (int64_t(mpz_sizeinbase(hex.digits.get(), 2)) >= mpfr_get_emax()) return std::nullopt;
        mpfr_set_z(value.get(), hex.digits.get(), MPFR_RNDN);
        long e = 0;
        const double half = mpfr_get_d_2exp(&e, value.get(), MPFR_RNDN);
        // value = 2 * half * 2^(e - 1 + exponent - 3 - 4 * after_point)
        int64_t scaled, offset, top;
        if (__builtin_mul_overflow(hex.after_point, int64_t(4), &scaled) ||
            __builtin_sub_overflow(int64_t(e) - 4, scaled, &offset) ||
            __builtin_add_overflow(hex.exponent, offset, &top))
            return std::nullopt;
        return ExtFloat::make(hex.negative ? -2.0 * half : 2.0 * half, top);
    }
    DecimalNumber decimal;
    if (!read_decimal(text, decimal) || !decimal_to_mpfr(decimal, value.get())) return std::nullopt;
    if (mpfr_zero_p(value.get())) return ExtFloat(0.0);
    long e = 0;
    const double half = mpfr_get_d_2exp(&e, value.get(), MPFR_RNDN);
    return ExtFloat::make(2.0 * half, int64_t(e) - 1);
}

std::string radius_hex_text(ExtFloat radius) {
    if (radius.m == 0.0 || !std::isfinite(radius.m)) return "+0.0x+0";
    int binary = 0;
    const double fraction = std::frexp(std::fabs(radius.m), &binary);  // [0.5, 1)
    int64_t top;
    if (__builtin_add_overflow(radius.e, int64_t(binary) - 1, &top))
        top = radius.e < 0 ? kInt64Min : kInt64Max;
    Integer z;
    mpz_set_ui(z.get(), static_cast<unsigned long>(std::ldexp(fraction, 53)));
    return hex_text(radius.m < 0.0, hex_digits(z.get(), 53), top);
}

}  // namespace quorvel
