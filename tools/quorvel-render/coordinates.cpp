#include "coordinates.h"

#include <gmp.h>
#include <mpfr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace quorvel::render {
namespace {

constexpr mpfr_prec_t kEngineBits = 192;
constexpr int kEngineHexDigits = 48;                             // the engine reads no more
constexpr long kLargestExponent = 17, kSmallestExponent = -999;  // MPFR's: top bit is 2^(e-1)
// Enough for the engine's value plus any double offset without rounding.
constexpr mpfr_prec_t kWideBits = 4400;

class Real {
public:
    explicit Real(mpfr_prec_t bits) { mpfr_init2(value_, bits); }
    ~Real() { mpfr_clear(value_); }
    Real(const Real&) = delete;
    Real& operator=(const Real&) = delete;
    mpfr_ptr get() { return value_; }

private:
    mpfr_t value_;
};

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

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads engine text the way the engine does: up to 48 hexadecimal digits, the
// point after the first digit unless written elsewhere, and the exponent of
// the first digit's top bit after the 'x'. Sets out exactly.
void read_engine_text(const std::string& text, mpfr_ptr out) {
    Integer digits;
    const char* p = text.c_str();
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int count = 0, before_point = -1;
    for (; *p != '\0' && *p != 'x' && count < kEngineHexDigits; ++p) {
        if (*p == '.') {
            before_point = count;
            continue;
        }
        const int v = hex_value(*p);
        if (v < 0) break;
        mpz_mul_2exp(digits.get(), digits.get(), 4);
        mpz_add_ui(digits.get(), digits.get(), static_cast<unsigned long>(v));
        ++count;
    }
    if (before_point < 0) before_point = 1;
    const char* x = std::strchr(text.c_str(), 'x');
    const long exponent = x != nullptr ? std::strtol(x + 1, nullptr, 10) : 0;
    // D.DDD x e is the value 0xD.DDD * 2^(e - 3).
    mpfr_set_z_2exp(out, digits.get(), exponent - 3 - 4 * (count - before_point), MPFR_RNDN);
    if (negative) mpfr_neg(out, out, MPFR_RNDN);
}

// Engine text of a value, rounded to nearest into 192 bits.
std::string write_engine_text(mpfr_srcptr value) {
    Real rounded(kEngineBits);
    mpfr_set(rounded.get(), value, MPFR_RNDN);
    if (mpfr_zero_p(rounded.get())) return "+0.0x+0";
    Integer significand;
    const mpfr_exp_t e = mpfr_get_z_2exp(significand.get(), rounded.get());
    const bool negative = mpz_sgn(significand.get()) < 0;
    mpz_abs(significand.get(), significand.get());
    // |value| = significand * 2^e with a 192-bit significand, so the engine's
    // exponent (that of the top bit) is e + 191.
    std::unique_ptr<char, decltype(&std::free)> hex(mpz_get_str(nullptr, 16, significand.get()),
                                                    &std::free);
    std::string digits(hex.get());
    for (char& c : digits) c = static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
    size_t end = digits.size();
    while (end > 2 && digits[end - 1] == '0') --end;
    std::string text = negative ? "-" : "+";
    text += digits[0];
    text += '.';
    text.append(digits, 1, end - 1);
    text += 'x';
    const long exponent = static_cast<long>(e) + kEngineBits - 1;
    if (exponent >= 0) text += '+';
    text += std::to_string(exponent);
    return text;
}

// value = digits * 2^shift exactly, for hexadecimal text of any length.
struct ExactBinary {
    Integer digits;
    long shift = 0;
};

bool read_any_hex_text(const std::string& text, ExactBinary& out) {
    const char* p = text.c_str();
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long count = 0, before_point = -1;
    for (; *p != '\0' && *p != 'x'; ++p) {
        if (*p == '.') {
            if (before_point >= 0) return false;
            before_point = count;
            continue;
        }
        const int v = hex_value(*p);
        if (v < 0) return false;
        mpz_mul_2exp(out.digits.get(), out.digits.get(), 4);
        mpz_add_ui(out.digits.get(), out.digits.get(), static_cast<unsigned long>(v));
        ++count;
    }
    if (*p != 'x' || count == 0) return false;
    if (before_point < 0) before_point = 1;
    char* end = nullptr;
    errno = 0;
    const long exponent = std::strtol(p + 1, &end, 10);
    if (*end != '\0' || errno != 0) return false;
    out.shift = exponent - 3 - 4 * (count - before_point);
    if (negative) mpz_neg(out.digits.get(), out.digits.get());
    return true;
}

// digits * 2^shift in the hexadecimal form, the first digit's top bit set.
std::string write_any_hex_text(mpz_ptr digits, long shift) {
    if (mpz_sgn(digits) == 0) return "+0.0x+0";
    const bool negative = mpz_sgn(digits) < 0;
    mpz_abs(digits, digits);
    const long bits = static_cast<long>(mpz_sizeinbase(digits, 2));
    const long top = bits - 1 + shift;
    mpz_mul_2exp(digits, digits, static_cast<mp_bitcnt_t>((4 - bits % 4) % 4));
    std::unique_ptr<char, decltype(&std::free)> hex(mpz_get_str(nullptr, 16, digits), &std::free);
    std::string all(hex.get());
    for (char& c : all) c = static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
    size_t end = all.size();
    while (end > 2 && all[end - 1] == '0') --end;
    std::string text = negative ? "-" : "+";
    text += all[0];
    text += '.';
    text.append(all.size() > 1 ? all.substr(1, end - 1) : "0");
    text += 'x';
    if (top >= 0) text += '+';
    return text + std::to_string(top);
}

}  // namespace

std::string add_scaled_exactly(const std::string& text, const double* offsets, int count,
                               long scale) {
    ExactBinary sum;
    if (!read_any_hex_text(text, sum)) return {};
    for (int i = 0; i < count; ++i) {
        if (offsets[i] == 0.0) continue;
        // A double is its 53-bit integer mantissa times a power of two.
        int e = 0;
        const double m = std::frexp(offsets[i], &e);
        Integer term;
        mpz_set_d(term.get(), std::ldexp(m, 53));
        const long shift = scale + e - 53;
        // Both at the lower of the two shifts, then added as integers.
        if (shift < sum.shift) {
            mpz_mul_2exp(sum.digits.get(), sum.digits.get(),
                         static_cast<mp_bitcnt_t>(sum.shift - shift));
            sum.shift = shift;
        } else {
            mpz_mul_2exp(term.get(), term.get(), static_cast<mp_bitcnt_t>(shift - sum.shift));
        }
        mpz_add(sum.digits.get(), sum.digits.get(), term.get());
    }
    return write_any_hex_text(sum.digits.get(), sum.shift);
}

bool split_hex_text(const std::string& text, double& mantissa, long& exponent) {
    ExactBinary value;
    if (!read_any_hex_text(text, value) || mpz_sgn(value.digits.get()) <= 0) return false;
    Real real(53);
    mpfr_set_z(real.get(), value.digits.get(), MPFR_RNDN);
    long e = 0;
    const double half = mpfr_get_d_2exp(&e, real.get(), MPFR_RNDN);  // in [0.5, 1)
    mantissa = 2.0 * half;
    exponent = value.shift + e - 1;
    return true;
}

std::string scaled_hex_text(double mantissa, long exponent) {
    const double offsets[1] = {mantissa};
    return add_scaled_exactly("+0.0x+0", offsets, 1, exponent);
}

std::optional<std::string> decimal_to_engine_text(const std::string& decimal) {
    if (decimal.empty() || decimal.find_first_of("xXpPnNiI") != std::string::npos) return {};
    // Parsed at a precision that keeps it exact would need unbounded bits;
    // mpfr_strtofr rounds correctly from the full text instead.
    Real value(kEngineBits);
    char* end = nullptr;
    mpfr_strtofr(value.get(), decimal.c_str(), &end, 10, MPFR_RNDN);
    if (end != decimal.c_str() + decimal.size() || !mpfr_number_p(value.get())) return {};
    // The engine's own range for centres: far outside the set, or below any
    // usable depth, is a mistake.
    if (!mpfr_zero_p(value.get()) && (mpfr_get_exp(value.get()) > kLargestExponent ||
                                      mpfr_get_exp(value.get()) < kSmallestExponent))
        return {};
    return write_engine_text(value.get());
}

std::string engine_text_to_decimal(const std::string& text, int decimals) {
    Real value(kWideBits);
    read_engine_text(text, value.get());
    char* out = nullptr;
    if (mpfr_asprintf(&out, "%.*RNf", decimals, value.get()) < 0) return "?";
    std::string result(out);
    mpfr_free_str(out);
    return result;
}

std::string add_to_engine_text(const std::string& text, const double* offsets, int count) {
    Real sum(kWideBits);
    read_engine_text(text, sum.get());
    for (int i = 0; i < count; ++i) mpfr_add_d(sum.get(), sum.get(), offsets[i], MPFR_RNDN);
    return write_engine_text(sum.get());
}

int decimals_for_view(double radius, int longer_side) {
    // A tenth of a pixel: the decimal lands on the same grid after rounding.
    const double pixel = 2.0 * radius / std::max(longer_side, 1);
    return std::max(1, static_cast<int>(std::ceil(-std::log10(pixel / 10.0))));
}

DigitCount count_digits(const std::string& decimal, double radius) {
    return count_digits_at(decimal, std::log10(static_cast<long double>(radius)));
}

DigitCount count_digits_at(const std::string& decimal, long double radius_log10) {
    DigitCount count;
    int first = -1, total = 0, after_point = 0;
    bool point = false;
    size_t i = 0;
    for (; i < decimal.size(); ++i) {
        const char c = decimal[i];
        if (c == '.') {
            point = true;
        } else if (c >= '0' && c <= '9') {
            if (first < 0 && c != '0') first = total;
            ++total;
            after_point += point;
        } else if (c == 'e' || c == 'E') {
            break;
        }
    }
    if (first < 0) return count;  // zero
    const long exponent =
        i < decimal.size() ? std::strtol(decimal.c_str() + i + 1, nullptr, 10) : 0;
    count.given = total - first;
    // Powers of ten of the leading and the last digit.
    const long last = exponent - after_point;
    const long lead = last + count.given - 1;
    // The last digit must be worth no more than the radius's leading digit.
    const long wanted = static_cast<long>(std::floor(radius_log10 + 1e-9L));
    count.needed = static_cast<int>(std::max(1L, lead - wanted + 1));
    return count;
}

}  // namespace quorvel::render
