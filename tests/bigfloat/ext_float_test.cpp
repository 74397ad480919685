// ExtFloat against double bit for bit inside the double range, against 53-bit
// MPFR far outside it, and its conversions to double and to decimal text.
#include "bigfloat/ext_float.h"

#include <gtest/gtest.h>
#include <mpfr.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <ios>
#include <random>
#include <string>

namespace quorvel {
namespace {

uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }

// The same value and the same representation (signs of zeros included).
bool same(ExtFloat a, ExtFloat b) { return bits(a.m) == bits(b.m) && a.e == b.e; }

void expect_same(ExtFloat got, ExtFloat want, const std::string& what) {
    EXPECT_TRUE(same(got, want)) << std::hexfloat << what << ": " << got.m << " * 2^" << got.e
                                 << ", not " << want.m << " * 2^" << want.e;
}

// Normal doubles with mantissa and sign at random and exponents around `e`.
struct Values {
    std::mt19937_64 rng;
    double mantissa() { return 1.0 + double(rng() >> 12) * 0x1p-52; }
    double sign() { return rng() % 2 ? -1.0 : 1.0; }
    double at(int e) { return sign() * std::ldexp(mantissa(), e); }
    ExtFloat ext_at(int64_t e) { return ExtFloat::make(sign() * mantissa(), e); }
};

bool normal(double d) { return std::fpclassify(d) == FP_NORMAL; }

TEST(ExtFloat, OperationsInTheDoubleRangeAreTheDoubleOperations) {
    Values v{std::mt19937_64(5)};
    int checked = 0;
    for (int round = 0; round < 200000 && !HasFailure(); ++round) {
        const int ea = int(v.rng() % 1000) - 500;
        // Exponent gaps from equal (cancellation) through 53 and the rounding
        // cap up to far apart, or b a few units in the last place from -a.
        const int gap = round % 3 == 0 ? int(v.rng() % 8) : int(v.rng() % 200);
        // A power of two borrows from its last place at half the spacing.
        const double a = round % 11 == 0 ? std::ldexp(v.sign(), ea) : v.at(ea);
        double b = v.at(ea - gap);
        if (round % 5 == 0) b = -a + double(int(v.rng() % 9) - 4) * std::ldexp(1.0, ea - 52);
        if (round % 7 == 0) b = std::ldexp(v.sign(), ea - 53 - int(v.rng() % 3));  // ties
        const ExtFloat x(a), y(b);
        // A zero sum is exact; zero or subnormal products lie outside the range.
        const struct {
            const char* op;
            ExtFloat got;
            double want;
            bool exact_zero;
        } cases[] = {{"+", x + y, a + b, true},
                     {"-", x - y, a - b, true},
                     {"*", x * y, a * b, false},
                     {"/", x / y, a / b, false},
                     {"sqrt", sqrt(abs(x)), std::sqrt(std::fabs(a)), false}};
        for (const auto& c : cases) {
            if (!normal(c.want) && !(c.exact_zero && c.want == 0.0)) continue;
            if (!same(c.got, ExtFloat(c.want)) || bits(c.got.to_double()) != bits(c.want))
                ADD_FAILURE() << std::hexfloat << c.op << " of " << a << " and " << b << ": "
                              << c.got.m << " * 2^" << c.got.e;
            ++checked;
        }
        // Comparisons by value.
        EXPECT_EQ(x < y, a < b);
        EXPECT_EQ(x <= y, a <= b);
        EXPECT_EQ(x > y, a > b);
        EXPECT_EQ(x >= y, a >= b);
        EXPECT_EQ(x == y, a == b);
        EXPECT_EQ(x != y, a != b);
    }
    EXPECT_GT(checked, 900000);
    // Zero operands and signed zeros.
    for (const double a : {0.0, -0.0, 1.5, -3.0})
        for (const double b : {0.0, -0.0, 2.0, -0.75}) {
            expect_same(ExtFloat(a) + ExtFloat(b), ExtFloat(a + b), "zero sum");
            expect_same(ExtFloat(a) * ExtFloat(b), ExtFloat(a * b), "zero product");
            EXPECT_EQ(ExtFloat(a) < ExtFloat(b), a < b);
            EXPECT_EQ(ExtFloat(a) == ExtFloat(b), a == b);
        }
}

// A 53-bit MPFR number in the widest exponent range.
class Mpfr {
public:
    Mpfr() {
        mpfr_set_emin(mpfr_get_emin_min());
        mpfr_set_emax(mpfr_get_emax_max());
        mpfr_init2(v_, 53);
    }
    explicit Mpfr(ExtFloat x) : Mpfr() {
        mpfr_set_d(v_, x.m, MPFR_RNDN);
        mpfr_mul_2si(v_, v_, x.e, MPFR_RNDN);
    }
    ~Mpfr() { mpfr_clear(v_); }
    Mpfr(const Mpfr&) = delete;
    Mpfr& operator=(const Mpfr&) = delete;
    mpfr_ptr get() { return v_; }
    ExtFloat ext() const {
        if (mpfr_zero_p(v_)) return ExtFloat();
        long e = 0;
        const double d = mpfr_get_d_2exp(&e, v_, MPFR_RNDN);  // exact: 53 bits
        return ExtFloat::make(d, e);
    }

private:
    mpfr_t v_;
};

TEST(ExtFloat, FarOutsideTheDoubleRangeOperationsRoundAsMpfr) {
    Values v{std::mt19937_64(9)};
    // About 1e-5000, 1e+5000, 1e-1000000 and 2^(2^40).
    const int64_t centres[] = {-16610, 16610, -3321928, int64_t{1} << 40};
    for (int round = 0; round < 40000 && !HasFailure(); ++round) {
        const int64_t ea = centres[round % 4] + int64_t(v.rng() % 200) - 100;
        const int64_t gap = round % 3 == 0 ? int64_t(v.rng() % 4) : int64_t(v.rng() % 140);
        const ExtFloat x = round % 11 == 0 ? ExtFloat::make(v.sign(), ea) : v.ext_at(ea);
        ExtFloat y = v.ext_at(ea - gap);
        if (round % 5 == 0) y = -x + ExtFloat::make(double(int(v.rng() % 9) - 4), ea - 52);
        Mpfr a(x), b(y), r;
        auto check = [&](const char* op, ExtFloat got) {
            if (!same(got, r.ext()))
                ADD_FAILURE() << std::hexfloat << op << " at exponent " << ea << " gap " << gap
                              << ": " << got.m;
        };
        mpfr_add(r.get(), a.get(), b.get(), MPFR_RNDN);
        check("+", x + y);
        mpfr_sub(r.get(), a.get(), b.get(), MPFR_RNDN);
        check("-", x - y);
        mpfr_mul(r.get(), a.get(), b.get(), MPFR_RNDN);
        check("*", x * y);
        mpfr_div(r.get(), a.get(), b.get(), MPFR_RNDN);
        check("/", x / y);
        mpfr_abs(r.get(), a.get(), MPFR_RNDN);
        mpfr_sqrt(r.get(), r.get(), MPFR_RNDN);
        check("sqrt", sqrt(abs(x)));
        EXPECT_EQ(x < y, mpfr_less_p(a.get(), b.get()) != 0);
        EXPECT_EQ(x >= y, mpfr_greaterequal_p(a.get(), b.get()) != 0);
    }
}

TEST(ExtFloat, ExponentsSaturateInsteadOfOverflowing) {
    const ExtFloat huge = ExtFloat::make(1.5, kExtMaxExponent),
                   tiny = ExtFloat::make(1.5, -kExtMaxExponent);
    EXPECT_EQ((huge * huge).e, kExtMaxExponent);
    EXPECT_EQ((tiny * tiny).e, -kExtMaxExponent);
    EXPECT_EQ((huge / tiny).e, kExtMaxExponent);
    EXPECT_EQ((huge + huge).e, kExtMaxExponent);
    EXPECT_EQ(ldexp(tiny, INT64_MIN).e, -kExtMaxExponent);
    EXPECT_EQ(ExtFloat::make(1.0, INT64_MAX).e, kExtMaxExponent);
    EXPECT_LT(tiny, huge);
    EXPECT_LT(-huge, tiny);
    EXPECT_EQ(huge + tiny, huge);
}

TEST(ExtFloat, NormalisationAndSpecialValues) {
    expect_same(ExtFloat::make(6.0, 10), ExtFloat::raw(1.5, 12), "6 * 2^10");
    expect_same(ExtFloat::make(-0x1p-1070, 0), ExtFloat::raw(-1.0, -1070), "subnormal");
    expect_same(ExtFloat(0x1p-1074), ExtFloat::raw(1.0, -1074), "smallest subnormal");
    expect_same(ExtFloat::make(0.0, 77), ExtFloat(), "zero");
    EXPECT_EQ(ExtFloat::make(1.0, -5000).exponent(), -5000);
    EXPECT_TRUE(ExtFloat::make(-1.0, -5000).negative());
    const ExtFloat inf(HUGE_VAL);
    EXPECT_EQ(inf.e, 0);
    EXPECT_EQ((inf * ExtFloat::make(1.0, -9000)).to_double(), HUGE_VAL);
    EXPECT_EQ((ExtFloat(1.0) / ExtFloat()).to_double(), HUGE_VAL);
    EXPECT_TRUE(std::isnan(sqrt(ExtFloat(-2.0)).m));
    EXPECT_LT(ExtFloat::make(1.0, 5000), inf);
    EXPECT_FALSE(inf < ExtFloat::make(1.0, 5000));
    // An odd exponent goes into the mantissa: sqrt(2^-4999) = 2^-2500 * sqrt(2).
    expect_same(sqrt(ExtFloat::make(1.0, -4999)), ExtFloat::raw(std::sqrt(2.0), -2500), "sqrt");
}

TEST(ExtFloat, ToDoubleUnderflowsGraduallyAndOverflowsToInfinity) {
    const double m = 1.0 + 0x1p-52;
    const struct {
        ExtFloat x;
        double want;
    } cases[] = {
        {ExtFloat::make(1.0, -1022), 0x1p-1022},
        {ExtFloat::make(m, -1023), 0x1p-1023},  // the last bit rounds off (to even)
        {ExtFloat::make(1.0, -1074), 0x1p-1074},
        {ExtFloat::make(1.0, -1075), 0.0},  // a tie: to even
        {ExtFloat::make(m, -1075), 0x1p-1074},
        {ExtFloat::make(1.5, -1075), 0x1p-1074},
        {ExtFloat::make(-1.99, -1076), -0.0},
        {ExtFloat::make(-1.0, -5000), -0.0},
        {ExtFloat::make(2.0 - 0x1p-52, 1023), 0x1.fffffffffffffp1023},
        {ExtFloat::make(1.0, 1024), HUGE_VAL},
        {ExtFloat::make(-1.0, 5000), -HUGE_VAL},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bits(c.x.to_double()), bits(c.want)) << c.x.m << " * 2^" << c.x.e;
    // Across the subnormal range, as the correctly rounded scaling.
    Values v{std::mt19937_64(3)};
    for (int i = 0; i < 100000; ++i) {
        const double mant = v.sign() * v.mantissa();
        const int e = -1100 + int(v.rng() % 90);
        ASSERT_EQ(bits(ExtFloat::make(mant, e).to_double()), bits(std::ldexp(mant, e))) << e;
        const double d = std::bit_cast<double>(v.rng());  // any bit pattern
        if (std::isfinite(d)) {
            ASSERT_EQ(bits(ExtFloat(d).to_double()), bits(d));
        }
    }
}

std::string mpfr_scientific(ExtFloat x, int digits) {
    Mpfr a(x);
    char* text = nullptr;
    mpfr_asprintf(&text, "%.*Re", digits - 1, a.get());
    std::string out(text);
    mpfr_free_str(text);
    return out;
}

TEST(ExtFloat, ScientificTextHasTheExactDecimalExponent) {
    EXPECT_EQ(to_scientific(ExtFloat(), 5), "0");
    EXPECT_EQ(to_scientific(ExtFloat(-3.45e20), 3), "-3.45e+20");
    EXPECT_EQ(to_scientific(ExtFloat(0.5), 1), "5e-01");
    EXPECT_EQ(to_scientific(ExtFloat::make(1.0, -16610), 4), "7.794e-5001");
    EXPECT_EQ(to_scientific(ExtFloat::make(1.0, 1000000000), 6),
              mpfr_scientific(ExtFloat::make(1.0, 1000000000), 6));
    Values v{std::mt19937_64(17)};
    const int64_t centres[] = {-16610, 16610, -1000000000, 1000000000, -(int64_t{1} << 59), 1100};
    for (int i = 0; i < 6000 && !HasFailure(); ++i) {
        const int64_t e = centres[i % 6] + int64_t(v.rng() % 2000) - 1000;
        const ExtFloat x = v.ext_at(e);
        const int digits = 1 + int(v.rng() % 15);
        EXPECT_EQ(to_scientific(x, digits), mpfr_scientific(x, digits)) << x.m << " * 2^" << e;
    }
    // Beside powers of ten, where the decade changes.
    for (const char* power : {"1e400", "1e-400", "1e123456789"}) {
        Mpfr p;
        mpfr_set_str(p.get(), power, 10, MPFR_RNDN);
        for (const double step : {-1.0, 0.0, 1.0}) {
            const ExtFloat x = p.ext() + ExtFloat::make(step, p.ext().e - 52);
            for (const int digits : {1, 3, 15})
                EXPECT_EQ(to_scientific(x, digits), mpfr_scientific(x, digits)) << power << step;
        }
    }
}

}  // namespace
}  // namespace quorvel
