// The extended perturbation kernel: the double kernel's counts where doubles
// suffice, MPFR's beside the Misiurewicz point c = i down to 1e-5000 and
// around a deep minibrot, and the same counts however the work is split into
// calls; with it and with linear steps, pixels whose state repeats end early
// with the counts they would have had.
#include "deep/perturbation_ext.h"

#include <gtest/gtest.h>
#include <mpfr.h>

#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "deep/bla_table.h"
#include "deep/mpfr_number.h"
#include "deep/perturbation_batch.h"
#include "deep/perturbation_bla.h"
#include "deep/perturbation_bla_ext.h"
#include "deep/perturbation_ext_batch.h"
#include "deep/perturbation_ext_walk.h"
#include "deep/perturbation_plan.h"
#include "deep/reference_orbit.h"
#include "test_view.h"
#include "view/fractal.h"

namespace quorvel {
namespace {

struct ExtOrbit {
    std::vector<ExtFloat> re, im;
    bool escaped = false;
    ExtOrbitSpan span() const {
        return {re.data(), im.data(), static_cast<uint32_t>(re.size()), escaped};
    }
};

// A double orbit as the extended kernel reads it.
ExtOrbit extended(const OrbitSpan& o) {
    ExtOrbit out;
    for (uint32_t i = 0; i < o.length; ++i) {
        out.re.push_back(ExtFloat(o.re[i]));
        out.im.push_back(ExtFloat(o.im[i]));
    }
    out.escaped = o.escaped;
    return out;
}

// And back to doubles.
struct DoubleOrbit {
    std::vector<double> re, im;
    bool escaped;
    explicit DoubleOrbit(const ExtOrbit& o) : escaped(o.escaped) {
        for (size_t i = 0; i < o.re.size(); ++i)
            re.push_back(o.re[i].to_double()), im.push_back(o.im[i].to_double());
    }
    OrbitSpan span() const { return {re.data(), im.data(), uint32_t(re.size()), escaped}; }
};

// A complex number at a precision.
struct Complex {
    MpfrNumber re, im;
    explicit Complex(mpfr_prec_t bits) : re(bits), im(bits) {}
    mpfr_prec_t bits() const { return mpfr_get_prec(re.get()); }
};

// The squares of z's parts, and their sum.
struct Squares {
    Complex sq;
    MpfrNumber sum;
    explicit Squares(mpfr_prec_t bits) : sq(bits), sum(bits) {}
};

// Forms the squares; true when |z|^2 >= 4.
bool escapes(const Complex& z, Squares& s) {
    mpfr_sqr(s.sq.re.get(), z.re.get(), MPFR_RNDN);
    mpfr_sqr(s.sq.im.get(), z.im.get(), MPFR_RNDN);
    mpfr_add(s.sum.get(), s.sq.re.get(), s.sq.im.get(), MPFR_RNDN);
    return mpfr_cmp_ui(s.sum.get(), 4) >= 0;
}

// z <- z^2 + c, with the squares escapes() formed.
void advance(Complex& z, const Complex& c, const Squares& s) {
    const Complex& sq = s.sq;
    mpfr_mul(z.im.get(), z.re.get(), z.im.get(), MPFR_RNDN);
    mpfr_mul_2ui(z.im.get(), z.im.get(), 1, MPFR_RNDN);
    mpfr_add(z.im.get(), z.im.get(), c.im.get(), MPFR_RNDN);
    mpfr_sub(z.re.get(), sq.re.get(), sq.im.get(), MPFR_RNDN);
    mpfr_add(z.re.get(), z.re.get(), c.re.get(), MPFR_RNDN);
}

// The orbit of c with MPFR at c's precision, rounded to ExtFloats: Z_0 = 0 up
// to Z_{limit-1}, or to the first Z with |Z|^2 >= 4.
ExtOrbit mpfr_orbit(const Complex& c, uint32_t limit) {
    Complex z(c.bits());
    Squares sq(c.bits());
    mpfr_set_zero(z.re.get(), 1), mpfr_set_zero(z.im.get(), 1);
    ExtOrbit out;
    for (;;) {
        out.re.push_back(ext_from_mpfr(z.re.get()));
        out.im.push_back(ext_from_mpfr(z.im.get()));
        out.escaped = escapes(z, sq);
        if (out.escaped || out.re.size() >= limit) return out;
        advance(z, c, sq);
    }
}

// The escape-time count of c with MPFR at `bits`, by the engine's rules.
uint32_t mpfr_count(const Complex& c, mpfr_prec_t bits, uint32_t limit) {
    Complex z(bits);
    Squares sq(bits);
    mpfr_set(z.re.get(), c.re.get(), MPFR_RNDN), mpfr_set(z.im.get(), c.im.get(), MPFR_RNDN);
    for (uint32_t n = 1;; ++n) {
        if (escapes(z, sq)) return n;
        if (n + 1 >= limit) return n + 1;
        advance(z, c, sq);
    }
}

// The count through calls of a few hundred steps each.
uint32_t in_pieces(const ExtOrbitSpan& orbit, uint32_t limit, ExtFloat dcx, ExtFloat dcy,
                   std::mt19937& rng) {
    ExtPixelState s{};
    uint32_t result = 0;
    while (!perturbed_steps_ext(orbit, limit, dcx, dcy, s, 1 + rng() % 400, result)) {
    }
    return result;
}

// A view beside c = i of the given radius (2^-log2_radius), at 64 bits more
// than its depth. The reference lies 2^-20 radii from i, so that it outlasts
// the pixels, which lie between 1/8 and 1 radius from i.
struct MisiurewiczView {
    mpfr_prec_t bits;
    int64_t scale;  // log2 of the radius
    Complex ref;
    ExtOrbit orbit;

    MisiurewiczView(int64_t log2_radius, uint32_t limit)
        : bits(log2_radius + 64), scale(-log2_radius), ref(bits) {
        set_from_ext(ref.re.get(), ExtFloat::make(0.6, scale - 20));
        set_from_ext(ref.im.get(), ExtFloat::make(0.8, scale - 20));
        mpfr_add_ui(ref.im.get(), ref.im.get(), 1, MPFR_RNDN);
        orbit = mpfr_orbit(ref, limit);
    }
    // The next pixel of a pseudo-random sample, as its offset from the
    // reference: about u + iv radii from i.
    void pixel(std::mt19937_64& rng, ExtFloat& dcx, ExtFloat& dcy) const {
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        double u = 0, v = 0;
        while (u * u + v * v < 1.0 / 64) u = unit(rng), v = unit(rng);
        dcx = ExtFloat::make(u, scale) - ExtFloat::make(0.6, scale - 20);
        dcy = ExtFloat::make(v, scale) - ExtFloat::make(0.8, scale - 20);
    }
};

// The reference plus an offset, exactly.
void offset(const Complex& ref, ExtFloat dcx, ExtFloat dcy, Complex& c) {
    set_from_ext(c.re.get(), dcx);
    set_from_ext(c.im.get(), dcy);
    EXPECT_EQ(mpfr_add(c.re.get(), c.re.get(), ref.re.get(), MPFR_RNDN), 0);
    EXPECT_EQ(mpfr_add(c.im.get(), c.im.get(), ref.im.get(), MPFR_RNDN), 0);
}

TEST(ExtendedPerturbation, MpfrConversionsRoundToNearestAndSetExactly) {
    MpfrNumber x(200), back(200);
    for (const int64_t e : {int64_t{0}, int64_t{-5000}, int64_t{5000}, int64_t{-1074}}) {
        // 1 + 2^-53 + 2^-80 rounds up; 1 + 2^-53 is a tie, to even (down).
        mpfr_set_ui_2exp(x.get(), 1, e, MPFR_RNDN);
        mpfr_mul_2si(back.get(), x.get(), -53, MPFR_RNDN);
        mpfr_add(x.get(), x.get(), back.get(), MPFR_RNDN);
        EXPECT_EQ(ext_from_mpfr(x.get()), ExtFloat::make(1.0, e));
        mpfr_mul_2si(back.get(), back.get(), -27, MPFR_RNDN);
        mpfr_add(x.get(), x.get(), back.get(), MPFR_RNDN);
        mpfr_neg(x.get(), x.get(), MPFR_RNDN);
        EXPECT_EQ(ext_from_mpfr(x.get()), ExtFloat::make(-1.0 - 0x1p-52, e));
        set_from_ext(back.get(), ExtFloat::make(-1.0 - 0x1p-52, e));
        EXPECT_EQ(mpfr_cmp_si_2exp(back.get(), -((int64_t{1} << 52) + 1), e - 52), 0);
    }
    mpfr_set_zero(x.get(), -1);
    EXPECT_TRUE(ext_from_mpfr(x.get()).is_zero());
    mpfr_set_inf(x.get(), 1);
    EXPECT_EQ(ext_from_mpfr(x.get()).to_double(), HUGE_VAL);
    set_from_ext(back.get(), ExtFloat());
    EXPECT_TRUE(mpfr_zero_p(back.get()));
}

TEST(ExtendedPerturbation, GivesTheDoubleKernelsCountsWhereDoublesSuffice) {
    struct Case {
        std::string name;
        ExtOrbit orbit;
        uint32_t limit;
        std::vector<std::pair<double, double>> pixels;
    };
    std::vector<Case> cases;
    {
        // A boundary view 1e-40 across on its searched reference; counts about
        // 2500 to 4000 (as deep_test.cpp).
        Fractal view(40, 40);
        view.set_view(BigFloat("-B.E5F721E91B8DA48AD8D3740AACDC2740ED39E747A2E74x-1"),
                      BigFloat("+8.6FD5EAE7E864DDA1DE2AEA24B878503D24F3EB2477B3x-3"), 1e-40);
        view.prepare(false);
        std::vector<BigFloat> columns, rows;
        for (int32_t i = 0; i < 40; ++i) {
            columns.push_back(view.column_coordinate(i));
            rows.push_back(view.row_coordinate(i));
        }
        PerturbationPlan plan(columns, rows, 1e-40, 5000);
        const double* dcx = plan.column_offsets();  // after the search
        const double* dcy = plan.row_offsets();
        const ReferenceOrbit& main = plan.main_orbit();
        Case c{"1e-40", extended({main.re(), main.im(), main.length(), main.escaped()}), 5000, {}};
        for (int32_t y = 0; y < 40; ++y)
            for (int32_t x = 0; x < 40; ++x) c.pixels.emplace_back(dcx[x], dcy[y]);
        cases.push_back(std::move(c));
    }
    {
        // 1e-100 beside i: offsets from 2^-333, squares near 2^-666.
        const MisiurewiczView view(332, 600);
        Case c{"1e-100", view.orbit, 600, {}};
        std::mt19937_64 rng(4);
        for (int i = 0; i < 400; ++i) {
            ExtFloat dcx, dcy;
            view.pixel(rng, dcx, dcy);
            c.pixels.emplace_back(dcx.to_double(), dcy.to_double());
        }
        cases.push_back(std::move(c));
    }
    // References far from most pixels: one escaping early (rebases, ends of
    // the reference, pixels sent elsewhere), one reaching the limit, and the
    // limit's edges.
    for (const auto& [name, cx, cy, limit] :
         {std::tuple{"early", 0.3, 0.0, 1000u}, std::tuple{"inside", -0.1, 0.05, 300u},
          std::tuple{"limit 2", 0.3, 0.0, 2u}, std::tuple{"limit 3", -0.1, 0.05, 3u}}) {
        MpfrNumber x(192), y(192);
        mpfr_set_d(x.get(), cx, MPFR_RNDN);
        mpfr_set_d(y.get(), cy, MPFR_RNDN);
        ReferenceOrbit reference(x.get(), y.get(), 192, limit, false);
        reference.complete_now();
        Case c{name,
               extended({reference.re(), reference.im(), reference.length(), reference.escaped()}),
               limit,
               {}};
        for (int y = 0; y < 19; ++y)
            for (int x = 0; x < 23; ++x)
                c.pixels.emplace_back(-2.2 + 0.13 * x - cx, -1.2 + 0.13 * y - cy);
        // Pixels that just outlast the early reference: some rebase, some are
        // sent elsewhere.
        for (int x = 0; x < 50; ++x) c.pixels.emplace_back(0.26 + 0.001 * x - cx, 1e-3);
        c.pixels.emplace_back(0.0, 0.0);  // the reference itself
        cases.push_back(std::move(c));
    }

    std::mt19937 rng(1);
    int others = 0, at_limit = 0;
    for (const Case& c : cases) {
        const DoubleOrbit doubles(c.orbit);
        for (const auto& [dcx, dcy] : c.pixels) {
            const uint32_t want = iterate_perturbed(doubles.span(), c.limit, dcx, dcy);
            const ExtFloat x(dcx), y(dcy);
            ASSERT_EQ(iterate_perturbed_ext(c.orbit.span(), c.limit, x, y), want)
                << c.name << " " << dcx << "," << dcy;
            ASSERT_EQ(in_pieces(c.orbit.span(), c.limit, x, y, rng), want) << c.name;
            others += want == kNeedsOtherReference;
            at_limit += want == c.limit;
        }
    }
    // Every ending was met.
    EXPECT_GT(others, 5);
    EXPECT_GT(at_limit, 10);
}

struct Depth {
    int64_t log2_radius;
    uint32_t limit;
    int pixels;
};

void expect_mpfr_counts(const Depth& depth) {
    const MisiurewiczView view(depth.log2_radius, depth.limit);
    ASSERT_TRUE(view.orbit.escaped);
    std::mt19937_64 rng(7);
    std::mt19937 pieces(2);
    int compared = 0;
    for (int i = 0; i < depth.pixels; ++i) {
        ExtFloat dcx, dcy;
        view.pixel(rng, dcx, dcy);
        Complex c(view.bits);
        offset(view.ref, dcx, dcy, c);
        const uint32_t truth = mpfr_count(c, view.bits, depth.limit);
        if (truth != mpfr_count(c, view.bits + 64, depth.limit)) continue;
        ++compared;
        const uint32_t n = iterate_perturbed_ext(view.orbit.span(), depth.limit, dcx, dcy);
        EXPECT_EQ(n, truth) << "pixel " << i << " at 2^-" << depth.log2_radius;
        EXPECT_EQ(in_pieces(view.orbit.span(), depth.limit, dcx, dcy, pieces), n);
        // Deep, where the counts grow by about 2.65 a decade.
        EXPECT_GT(truth, depth.log2_radius / 2);
        EXPECT_LT(truth, view.orbit.re.size());
    }
    EXPECT_GE(compared, depth.pixels - 1);
}

TEST(ExtendedPerturbation, AgreesWithMpfrBesideAMisiurewiczPointAt1e300) {
    expect_mpfr_counts({997, 1500, 24});
}

TEST(ExtendedPerturbation, AgreesWithMpfrBesideAMisiurewiczPointAt1e1000) {
    expect_mpfr_counts({3322, 4000, 6});
}

TEST(ExtendedPerturbation, AgreesWithMpfrBesideAMisiurewiczPointAt1e5000) {
    expect_mpfr_counts({16610, 16000, 2});
}

// dz <- 2 z dz + 1.
void derive(const Complex& z, Complex& dz, Complex& t) {
    mpfr_mul(t.re.get(), z.re.get(), dz.re.get(), MPFR_RNDN);
    mpfr_mul(t.im.get(), z.im.get(), dz.im.get(), MPFR_RNDN);
    mpfr_sub(t.re.get(), t.re.get(), t.im.get(), MPFR_RNDN);
    mpfr_mul(t.im.get(), z.re.get(), dz.im.get(), MPFR_RNDN);
    mpfr_fma(t.im.get(), z.im.get(), dz.re.get(), t.im.get(), MPFR_RNDN);
    mpfr_mul_2ui(dz.re.get(), t.re.get(), 1, MPFR_RNDN);
    mpfr_add_ui(dz.re.get(), dz.re.get(), 1, MPFR_RNDN);
    mpfr_mul_2ui(dz.im.get(), t.im.get(), 1, MPFR_RNDN);
}

// The nucleus of the minibrot whose period is the first n at which the disc
// of radius 2^-log2_radius around c maps onto 0, by Newton's method from c.
// Returns the period, 0 when the disc escapes first.
uint32_t find_nucleus(Complex& c, int64_t log2_radius) {
    const mpfr_prec_t bits = mpfr_get_prec(c.re.get());
    Complex z(bits), dz(bits), t(bits);
    Squares sq(bits);
    MpfrNumber a(bits), b(bits);
    mpfr_set_zero(z.re.get(), 1), mpfr_set_zero(z.im.get(), 1);
    mpfr_set_zero(dz.re.get(), 1), mpfr_set_zero(dz.im.get(), 1);
    uint32_t period = 0;
    for (uint32_t n = 1; n < 100000 && period == 0; ++n) {
        escapes(z, sq);
        derive(z, dz, t);
        advance(z, c, sq);
        mpfr_hypot(a.get(), z.re.get(), z.im.get(), MPFR_RNDN);
        mpfr_hypot(b.get(), dz.re.get(), dz.im.get(), MPFR_RNDN);
        mpfr_mul_2si(b.get(), b.get(), -log2_radius, MPFR_RNDN);
        if (mpfr_cmp_ui(a.get(), 2) > 0) return 0;
        if (mpfr_less_p(a.get(), b.get())) period = n;
    }
    // Quadratic convergence: a dozen steps carry 2^-1000 to far below 2^-3000.
    for (int i = 0; i < 14; ++i) {
        mpfr_set_zero(z.re.get(), 1), mpfr_set_zero(z.im.get(), 1);
        mpfr_set_zero(dz.re.get(), 1), mpfr_set_zero(dz.im.get(), 1);
        for (uint32_t n = 0; n < period; ++n) {
            escapes(z, sq);
            derive(z, dz, t);
            advance(z, c, sq);
        }
        // c -= z / dz = z conj(dz) / |dz|^2
        mpfr_sqr(a.get(), dz.re.get(), MPFR_RNDN);
        mpfr_fma(a.get(), dz.im.get(), dz.im.get(), a.get(), MPFR_RNDN);
        mpfr_mul(t.re.get(), z.re.get(), dz.re.get(), MPFR_RNDN);
        mpfr_fma(t.re.get(), z.im.get(), dz.im.get(), t.re.get(), MPFR_RNDN);
        mpfr_mul(t.im.get(), z.im.get(), dz.re.get(), MPFR_RNDN);
        mpfr_mul(b.get(), z.re.get(), dz.im.get(), MPFR_RNDN);
        mpfr_sub(t.im.get(), t.im.get(), b.get(), MPFR_RNDN);
        mpfr_div(t.re.get(), t.re.get(), a.get(), MPFR_RNDN);
        mpfr_div(t.im.get(), t.im.get(), a.get(), MPFR_RNDN);
        mpfr_sub(c.re.get(), c.re.get(), t.re.get(), MPFR_RNDN);
        mpfr_sub(c.im.get(), c.im.get(), t.im.get(), MPFR_RNDN);
    }
    return period;
}

// Around a minibrot 2^-1993 across, 2^-997 from i, on its nucleus: the
// reference passes within about 2^-2000 of 0 every period, pixels rebase at
// each return, and the steps beside those returns are taken in ExtFloats.
TEST(ExtendedPerturbation, AgreesWithMpfrAroundADeepMinibrot) {
    constexpr int64_t kDistance = 997, kSize = 1993;
    constexpr uint32_t kLimit = 12000;
    Complex c(2 * kSize + 128);
    set_from_ext(c.re.get(), ExtFloat::make(0.37, -kDistance));
    set_from_ext(c.im.get(), ExtFloat::make(0.29, -kDistance));
    mpfr_add_ui(c.im.get(), c.im.get(), 1, MPFR_RNDN);
    const uint32_t period = find_nucleus(c, kDistance);
    ASSERT_EQ(period, 799u);
    // The view: 2^-1990 around the nucleus, at 64 bits more.
    const mpfr_prec_t bits = kSize + 64;
    Complex ref(bits);
    mpfr_set(ref.re.get(), c.re.get(), MPFR_RNDN);
    mpfr_set(ref.im.get(), c.im.get(), MPFR_RNDN);
    const ExtOrbit orbit = mpfr_orbit(ref, kLimit);
    ASSERT_FALSE(orbit.escaped);
    // Z_period: the nucleus's rounding to these bits, amplified 2^997 times.
    EXPECT_LT(orbit.re[period].exponent(), -1000);
    EXPECT_LT(orbit.im[period].exponent(), -1000);

    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::mt19937 pieces(5);
    int compared = 0, inside = 0, long_escapes = 0;
    for (int i = 0; i < 16; ++i) {
        const int64_t scale = -kSize - 3 + int64_t(rng() % 40);
        const ExtFloat dcx = ExtFloat::make(unit(rng), scale);
        const ExtFloat dcy = ExtFloat::make(unit(rng), scale);
        Complex pixel(bits);
        offset(ref, dcx, dcy, pixel);
        const uint32_t truth = mpfr_count(pixel, bits, kLimit);
        if (truth != mpfr_count(pixel, bits + 64, kLimit)) continue;
        ++compared;
        inside += truth == kLimit;
        long_escapes += truth < kLimit && truth > 2 * period;
        const uint32_t n = iterate_perturbed_ext(orbit.span(), kLimit, dcx, dcy);
        EXPECT_EQ(n, truth) << "pixel " << i;
        EXPECT_EQ(in_pieces(orbit.span(), kLimit, dcx, dcy, pieces), n);
    }
    EXPECT_GE(compared, 15);
    // Pixels in the minibrot and pixels that went round it a few times.
    EXPECT_GT(inside, 0);
    EXPECT_GT(long_escapes, 0);
}

// Pixels of a batch test: their offsets, the orbit they run on, its lane
// copy, and the scalar kernel's count of each.
struct BatchCase {
    std::string name;
    ExtOrbit orbit;
    uint32_t limit;
    std::vector<ExtFloat> dcx, dcy;
    std::vector<double> lane_re, lane_im;
    std::vector<uint32_t> pixels, expected;

    BatchCase(std::string n, ExtOrbit o, uint32_t l)
        : name(std::move(n)), orbit(std::move(o)), limit(l) {}
    void add(ExtFloat x, ExtFloat y) {
        dcx.push_back(x);
        dcy.push_back(y);
    }
    // Pixel k is column k and row k of tables as wide as there are pixels.
    void finish() {
        form_lanes();
        for (size_t k = 0; k < dcx.size(); ++k)
            expected.push_back(iterate_perturbed_ext(orbit.span(), limit, dcx[k], dcy[k]));
    }
    // The lane copy and the pixels alone.
    void form_lanes() {
        form_lane_values(orbit.span(), lane_re, lane_im);
        const auto w = static_cast<uint32_t>(dcx.size());
        for (uint32_t k = 0; k < w; ++k) pixels.push_back(k * w + k);
    }
    ExtBatch batch() const {
        return {orbit.span(),
                lane_re.data(),
                lane_im.data(),
                dcx.data(),
                dcy.data(),
                pixels.data(),
                static_cast<uint32_t>(dcx.size())};
    }
    std::vector<Orbit> fresh() const {
        return std::vector<Orbit>(dcx.size(), PerturbationPlan::fresh_extended());
    }
};

// Views where the lanes meet every regime and event: beside c = i at three
// depths (deep steps, the shallow ones near escape, rescales between), around
// the deep minibrot (ExtFloat steps near its returns, rebases), and references
// that escape early or stay inside on pixels far from them (rebases, ends of
// the reference, pixels sent elsewhere, the limit and its edges).
const std::vector<BatchCase>& batch_cases() {
    static const std::vector<BatchCase> cases = [] {
        std::vector<BatchCase> out;
        for (const auto& [log2_radius, limit, count] :
             {std::tuple{int64_t{997}, 1500u, 40}, std::tuple{int64_t{3322}, 4000u, 40},
              std::tuple{int64_t{16610}, 16000u, 20}}) {
            const MisiurewiczView view(log2_radius, limit);
            BatchCase c("beside i at 2^-" + std::to_string(log2_radius), view.orbit, limit);
            std::mt19937_64 rng(11);
            for (int i = 0; i < count; ++i) {
                ExtFloat dcx, dcy;
                view.pixel(rng, dcx, dcy);
                c.add(dcx, dcy);
            }
            out.push_back(std::move(c));
        }
        {
            Complex c(2 * 1993 + 128);
            set_from_ext(c.re.get(), ExtFloat::make(0.37, -997));
            set_from_ext(c.im.get(), ExtFloat::make(0.29, -997));
            mpfr_add_ui(c.im.get(), c.im.get(), 1, MPFR_RNDN);
            find_nucleus(c, 997);
            Complex ref(1993 + 64);
            mpfr_set(ref.re.get(), c.re.get(), MPFR_RNDN);
            mpfr_set(ref.im.get(), c.im.get(), MPFR_RNDN);
            BatchCase b("minibrot", mpfr_orbit(ref, 6000), 6000);
            std::mt19937_64 rng(3);
            std::uniform_real_distribution<double> unit(-1.0, 1.0);
            for (int i = 0; i < 24; ++i) {
                const int64_t scale = -1993 - 3 + int64_t(rng() % 40);
                b.add(ExtFloat::make(unit(rng), scale), ExtFloat::make(unit(rng), scale));
            }
            out.push_back(std::move(b));
        }
        for (const auto& [name, cx, cy, limit] :
             {std::tuple{"early", 0.3, 0.0, 1000u}, std::tuple{"inside", -0.1, 0.05, 300u},
              std::tuple{"limit 2", 0.3, 0.0, 2u}, std::tuple{"limit 3", -0.1, 0.05, 3u}}) {
            MpfrNumber x(192), y(192);
            mpfr_set_d(x.get(), cx, MPFR_RNDN);
            mpfr_set_d(y.get(), cy, MPFR_RNDN);
            ReferenceOrbit reference(x.get(), y.get(), 192, limit, false);
            reference.complete_now();
            BatchCase c(
                name,
                extended({reference.re(), reference.im(), reference.length(), reference.escaped()}),
                limit);
            for (int j = 0; j < 9; ++j)
                for (int i = 0; i < 11; ++i)
                    c.add(ExtFloat(-2.2 + 0.27 * i - cx), ExtFloat(-1.2 + 0.27 * j - cy));
            for (int i = 0; i < 40; ++i) c.add(ExtFloat(0.26 + 0.00125 * i - cx), ExtFloat(1e-3));
            c.add(ExtFloat(), ExtFloat());  // the reference itself
            out.push_back(std::move(c));
        }
        for (BatchCase& c : out) c.finish();
        return out;
    }();
    return cases;
}

TEST(ExtendedBatch, GivesTheScalarCountsAtEveryLevelHoweverItIsSplit) {
    int others = 0, at_limit = 0;
    for (const BatchCase& c : batch_cases()) {
        for (uint32_t n : c.expected) others += n == kNeedsOtherReference, at_limit += n == c.limit;
        for (int level = 0; level <= static_cast<int>(best_simd_level()); ++level) {
            const auto at = static_cast<SimdLevel>(level);
            const std::string where = c.name + " at " + simd_level_name(at);
            std::vector<Orbit> whole = c.fresh();
            ASSERT_TRUE(iterate_perturbed_ext_batch_at(at, c.batch(), c.limit, whole.data(),
                                                       whole.size(), Budget{}));
            // Paused every 300 steps.
            std::vector<Orbit> paused = c.fresh();
            Budget every;
            every.max_steps = 300;
            int calls = 0;
            while (!iterate_perturbed_ext_batch_at(at, c.batch(), c.limit, paused.data(),
                                                   paused.size(), every))
                ++calls;
            if (c.limit > 300) {
                EXPECT_GT(calls, 0) << where;
            }
            // Stopped when a wanted pixel is done, then run on.
            std::vector<Orbit> wanted = c.fresh();
            Budget until;
            until.wanted = &wanted[wanted.size() / 2];
            const bool all = iterate_perturbed_ext_batch_at(at, c.batch(), c.limit, wanted.data(),
                                                            wanted.size(), until);
            EXPECT_TRUE(until.wanted->done) << where;
            if (c.limit > 3) {
                EXPECT_FALSE(all) << where;
            }
            while (!iterate_perturbed_ext_batch_at(at, c.batch(), c.limit, wanted.data(),
                                                   wanted.size(), Budget{})) {
            }
            for (size_t i = 0; i < c.expected.size(); ++i) {
                ASSERT_TRUE(whole[i].done && paused[i].done && wanted[i].done) << where;
                EXPECT_EQ(whole[i].n, c.expected[i]) << where << " pixel " << i;
                EXPECT_EQ(paused[i].n, c.expected[i]) << where << " pixel " << i << " paused";
                EXPECT_EQ(wanted[i].n, c.expected[i]) << where << " pixel " << i << " wanted";
            }
        }
    }
    EXPECT_GT(others, 5);
    EXPECT_GT(at_limit, 10);
}

// Bit for bit the walk that leaving and entering again gives, in all that a
// later step reads.
void expect_same_walk(const ExtWalk& a, const ExtWalk& b, const std::string& where) {
    const auto bits = [](double x) { return std::bit_cast<uint64_t>(x); };
    EXPECT_TRUE(bits(a.wx) == bits(b.wx) && bits(a.wy) == bits(b.wy) && a.k == b.k) << where;
    EXPECT_TRUE(bits(a.eps) == bits(b.eps) && a.ke == b.ke && a.f == b.f) << where;
    EXPECT_TRUE(a.s == b.s && a.s2 == b.s2 && bits(a.vx) == bits(b.vx) &&
                bits(a.vy) == bits(b.vy) && a.regime == b.regime)
        << where;
    EXPECT_TRUE(a.m == b.m && a.n == b.n && a.zr == b.zr && a.zi == b.zi && a.big_m == b.big_m)
        << where;
    // |z|^2 as the next step reads it, exact or not.
    EXPECT_EQ(bits(a.previous), bits(b.previous)) << where;
    EXPECT_TRUE(a.exact_is_current ? a.previous_exact == b.previous_exact
                                   : ExtFloat(a.previous) == b.previous_exact)
        << where;
}

// A record holds the error estimate and the iterations linear steps skipped
// together, exactly at the deepest views' scales and for any count; an error
// beyond its range is rounded up, never down.
TEST(ExtendedBatch, RecordsKeepTheErrorAndTheSkippedCountTogether) {
    Orbit o = PerturbationPlan::fresh_extended();
    o.n = 1;
    const auto stored = [&o](ExtFloat error, uint32_t skipped) {
        keep_ext_error(error, skipped, o);
        return ext_record_state(o);
    };
    const int64_t kLow = -(int64_t{1} << 31) - 512, kHigh = (int64_t{1} << 31) - 1537;
    for (const int64_t e :
         {kLow, int64_t{-(1 << 21) - 4000}, int64_t{-1537}, int64_t{-513}, int64_t{-512},
          int64_t{-1}, int64_t{0}, int64_t{511}, int64_t{512}, int64_t{4000}, kHigh}) {
        for (const double m : {1.0, 1.6180339887498949, 0x1.fffffffffffffp0}) {
            for (const uint32_t skipped : {0u, 1u, 0x80000000u, UINT32_MAX}) {
                const ExtFloat error = ExtFloat::make(m, e);
                const ExtPixelState s = stored(error, skipped);
                EXPECT_EQ(s.error, error) << e << " " << m << " " << skipped;
                EXPECT_EQ(s.skipped, skipped) << e << " " << m << " " << skipped;
            }
        }
    }
    EXPECT_EQ(stored(ExtFloat(0.0), 7).error, ExtFloat(0.0));
    EXPECT_EQ(stored(ExtFloat(0.0), 7).skipped, 7u);
    // Beyond the range.
    EXPECT_EQ(stored(ExtFloat::make(1.5, kHigh + 1), 3).error,
              ExtFloat::make(1.0, int64_t{1} << 40));
    EXPECT_EQ(stored(ExtFloat::make(1.5, kHigh + 1), 3).skipped, 3u);
    const ExtFloat tiny = ExtFloat::make(1.5, kLow - 1);
    EXPECT_EQ(stored(tiny, 5).error, ExtFloat::make(1.0, kLow));
    EXPECT_EQ(stored(tiny, 5).skipped, 5u);
}

// Linear steps keep a pixel in its walk between runs of single steps and
// settle it in place: on every batch case, after runs of every length, and
// from offsets whose parts straddle 2^-1022 of each other, that sit at the
// edges of the regimes and of the lowest scale, with errors far above or
// below them, that is the walk of leaving and entering again, or settle()
// declines.
TEST(ExtendedWalk, SettledInPlaceAsLeavingAndEnteringAgain) {
    int settled = 0, declined = 0;
    const auto follow = [&](const ExtPixelKernel& kernel, ExtPixelState start, int runs,
                            const std::string& where) {
        ExtWalk w;
        kernel.enter(start, w);
        uint32_t result = 0;
        for (int run = 0; run < runs; ++run) {
            if (kernel.advance(w, 1 + run % 5, result)) return;
            ExtWalk settled_walk = w, entered;
            kernel.enter(ExtPixelKernel::leave(w), entered);
            if (kernel.settle(settled_walk)) {
                ++settled;
                expect_same_walk(settled_walk, entered, where + " run " + std::to_string(run));
            } else {
                ++declined;
            }
            w = entered;
        }
    };
    for (const BatchCase& c : batch_cases())
        for (size_t i = 0; i < c.dcx.size(); ++i)
            follow(ExtPixelKernel(c.orbit.span(), c.limit, c.dcx[i], c.dcy[i], false),
                   ExtPixelState{}, 3000, c.name + " pixel " + std::to_string(i));
    // On a real reference, a pixel just off the axis (by c = 1/4, escaping
    // slowly) keeps an imaginary part of dz about as far below its real part
    // as dc's: flushed to zero from 2^-1022 of it.
    const BatchCase& real = batch_cases()[4];
    ASSERT_EQ(real.name, "early");
    for (const int64_t apart : {1000, 1010, 1016, 1018, 1020, 1021, 1022, 1023, 1030})
        follow(ExtPixelKernel(real.orbit.span(), real.limit, ExtFloat(-0.0499),
                              ExtFloat::make(1.0, -5 - apart), false),
               ExtPixelState{}, 400, "off the axis by 2^-" + std::to_string(apart));
    const BatchCase& deep = batch_cases()[1];
    const ExtFloat dcx = deep.dcx[0], dcy = deep.dcy[0];
    const ExtPixelKernel kernel(deep.orbit.span(), deep.limit, dcx, dcy, false);
    const int64_t e = dcx.exponent();
    for (const int64_t at : {e, e + 900, e + 959, e + 961, int64_t{-440}, int64_t{-439},
                             int64_t{-600}, e - 950, e - 961, e - 1100})
        for (const int64_t apart : {0, 30, 1000, 1022, 1023, 1030, 1100})
            for (const int64_t error : {2 * at - 1000, 2 * at - 960, 2 * at, 2 * at + 900})
                for (const uint32_t m : {1u, 7u, 40u}) {
                    ExtPixelState s{};
                    s.dx = ExtFloat::make(1.375, at);
                    s.dy = ExtFloat::make(-1.8125, at - apart);
                    s.error = ExtFloat::make(1.5, error);
                    s.m = s.n = m;
                    follow(kernel, s, 6,
                           "offset 2^" + std::to_string(at) + " apart " + std::to_string(apart));
                    std::swap(s.dx, s.dy);
                    follow(kernel, s, 6, "swapped, 2^" + std::to_string(at));
                }
    EXPECT_GT(settled, 10000);
    EXPECT_GT(declined, 10);
}

// The count without cycle detection.
uint32_t without_cycles(const ExtOrbitSpan& orbit, uint32_t limit, ExtFloat dcx, ExtFloat dcy) {
    const ExtPixelKernel kernel(orbit, limit, dcx, dcy, false);
    ExtWalk w;
    kernel.enter(ExtPixelState{}, w);
    uint32_t result = 0;
    while (!kernel.advance(w, UINT32_MAX, result)) {
    }
    return result;
}

// Inside the deep minibrot a pixel's walk comes back to a state it had, bit
// for bit, and ends with the limit's count as soon as that is seen: the counts
// without the detection, on one lane or many, paused or not, at a fraction of
// the steps.
TEST(ExtendedBatch, PixelsInsideADeepMinibrotEndOnceTheirStateRepeats) {
    const BatchCase& minibrot = batch_cases()[3];
    ASSERT_EQ(minibrot.name, "minibrot");
    constexpr uint32_t kLimit = 60000, kHigh = 2000000000u;
    BatchCase c(minibrot.name, minibrot.orbit, kLimit);
    for (size_t i = 0; i < minibrot.dcx.size(); ++i) c.add(minibrot.dcx[i], minibrot.dcy[i]);
    c.finish();
    int inside = 0;
    for (size_t i = 0; i < c.expected.size(); ++i) {
        EXPECT_EQ(c.expected[i], without_cycles(c.orbit.span(), kLimit, c.dcx[i], c.dcy[i]))
            << "pixel " << i;
        inside += c.expected[i] == kLimit;
    }
    EXPECT_GT(inside, 3);
    for (int level = 0; level <= static_cast<int>(best_simd_level()); ++level) {
        const auto at = static_cast<SimdLevel>(level);
        std::vector<Orbit> whole = c.fresh();
        ASSERT_TRUE(iterate_perturbed_ext_batch_at(at, c.batch(), kLimit, whole.data(),
                                                   whole.size(), Budget{}));
        std::vector<Orbit> paused = c.fresh();
        Budget every;
        every.max_steps = 300;
        while (!iterate_perturbed_ext_batch_at(at, c.batch(), kLimit, paused.data(), paused.size(),
                                               every)) {
        }
        // At a limit no pixel could reach step by step, in one call.
        std::vector<Orbit> high = c.fresh();
        Budget steps;
        steps.max_steps = 2000000;
        EXPECT_TRUE(
            iterate_perturbed_ext_batch_at(at, c.batch(), kHigh, high.data(), high.size(), steps))
            << simd_level_name(at);
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const std::string where =
                std::string(simd_level_name(at)) + " pixel " + std::to_string(i);
            EXPECT_EQ(whole[i].n, c.expected[i]) << where;
            EXPECT_EQ(paused[i].n, c.expected[i]) << where;
            EXPECT_EQ(high[i].n, c.expected[i] == kLimit ? kHigh : c.expected[i]) << where;
        }
    }
}

// The lanes walk exactly as the scalar loop: a pixel stopped after s steps
// holds the scalar kernel's state after s steps, bit for bit.
TEST(ExtendedBatch, LanesHoldTheScalarStateAfterAnyNumberOfSteps) {
    for (const BatchCase& full : batch_cases()) {
        if (full.limit < 1000) continue;
        // Few enough pixels that every lane starts at once.
        BatchCase c(full.name, full.orbit, full.limit);
        for (size_t i = 0; i < 8; ++i) c.add(full.dcx[i], full.dcy[i]);
        c.finish();
        for (const uint64_t steps : {1u, 2u, 3u, 57u, 300u, 1001u, 2600u, 9000u}) {
            std::vector<ExtPixelState> scalar(c.dcx.size());
            std::vector<bool> ended(c.dcx.size());
            for (size_t i = 0; i < scalar.size(); ++i) {
                uint32_t result = 0;
                ended[i] = perturbed_steps_ext(c.orbit.span(), c.limit, c.dcx[i], c.dcy[i],
                                               scalar[i], static_cast<uint32_t>(steps), result);
            }
            for (int level = 0; level <= static_cast<int>(best_simd_level()); ++level) {
                const auto at = static_cast<SimdLevel>(level);
                std::vector<Orbit> records = c.fresh();
                Budget budget;
                budget.max_steps = steps;
                iterate_perturbed_ext_batch_at(at, c.batch(), c.limit, records.data(),
                                               records.size(), budget);
                for (size_t i = 0; i < records.size(); ++i) {
                    const std::string where = c.name + " at " + simd_level_name(at) + " pixel " +
                                              std::to_string(i) + " after " + std::to_string(steps);
                    // The scalar level pauses between pixels.
                    if (ended[i] || (level == 0 && i > 0)) continue;
                    ASSERT_FALSE(records[i].done) << where;
                    const ExtPixelState s = ext_record_state(records[i]);
                    EXPECT_EQ(s.n, scalar[i].n) << where;
                    EXPECT_EQ(s.m, scalar[i].m) << where;
                    EXPECT_EQ(s.dx, scalar[i].dx) << where;
                    EXPECT_EQ(s.dy, scalar[i].dy) << where;
                    EXPECT_EQ(s.error, scalar[i].error) << where;
                }
            }
        }
    }
}

// A record paused at one level holds the state every other level resumes.
TEST(ExtendedBatch, PausedAtOneLevelResumesAtAnother) {
    const int levels = static_cast<int>(best_simd_level()) + 1;
    for (const BatchCase& c : batch_cases()) {
        std::vector<Orbit> records = c.fresh();
        Budget budget;
        budget.max_steps = 250;
        for (int call = 0;
             !iterate_perturbed_ext_batch_at(static_cast<SimdLevel>(call % levels), c.batch(),
                                             c.limit, records.data(), records.size(), budget);
             ++call) {
        }
        for (size_t i = 0; i < records.size(); ++i)
            EXPECT_EQ(records[i].n, c.expected[i]) << c.name << " pixel " << i;
    }
}

// The plan's batch on its main reference at every level: the counts of its
// pixel query (where the main reference serves the pixel), with the lanes'
// copy of the orbit counted in its memory.
TEST(ExtendedBatch, PlanRunsItsPixelsAtEveryLevel) {
    constexpr int32_t kSide = 16;
    constexpr uint32_t kLimit = 4000;
    const PlannedView planned("3e-1010", "1", "1e-1000", kSide, kLimit);
    PerturbationPlan& plan = *planned.plan;
    ASSERT_TRUE(plan.extended());
    std::vector<uint32_t> pixels, expected;
    for (uint32_t i = 0; i < kSide * kSide; ++i) {
        pixels.push_back(i);
        expected.push_back(
            plan.iterate(static_cast<int32_t>(i % kSide), static_cast<int32_t>(i / kSide)));
    }
    const size_t memory = plan.memory_size();
    for (int level = 0; level <= static_cast<int>(best_simd_level()); ++level) {
        set_simd_level(static_cast<SimdLevel>(level));
        std::vector<Orbit> records(pixels.size(), PerturbationPlan::fresh_extended());
        Budget budget;
        budget.max_steps = 700;
        while (
            !plan.iterate_batch_extended(records.data(), pixels.data(), records.size(), budget)) {
        }
        int served = 0;
        for (size_t i = 0; i < records.size(); ++i) {
            if (records[i].n == kNeedsOtherReference) continue;
            ++served;
            EXPECT_EQ(records[i].n, expected[i]) << "level " << level << " pixel " << i;
        }
        EXPECT_GT(served, kSide * kSide * 9 / 10);
    }
    set_simd_level(best_simd_level());
    if (best_simd_level() != SimdLevel::scalar) {
        EXPECT_GE(plan.memory_size(),
                  memory + 2 * sizeof(double) * size_t{plan.main_orbit().length()});
    }
}

// A minibrot's nucleus 2^-size across, 2^-distance from i, and pixels in and
// around it, offset from the nucleus.
struct MinibrotPixels {
    ExtOrbit orbit;
    std::vector<ExtFloat> dcx, dcy;

    // The reference lies `shift` times the size off the nucleus, in the x direction.
    MinibrotPixels(int64_t distance, uint32_t length, int count, double shift = 0.0) {
        const int64_t size = 2 * distance - 1;
        Complex c(2 * size + 128);
        set_from_ext(c.re.get(), ExtFloat::make(0.37, -distance));
        set_from_ext(c.im.get(), ExtFloat::make(0.29, -distance));
        mpfr_add_ui(c.im.get(), c.im.get(), 1, MPFR_RNDN);
        find_nucleus(c, distance);
        Complex ref(size + 64);
        mpfr_set(ref.re.get(), c.re.get(), MPFR_RNDN);
        mpfr_set(ref.im.get(), c.im.get(), MPFR_RNDN);
        if (shift != 0.0) {
            Complex moved(size + 64);
            offset(ref, ExtFloat::make(shift, -size), ExtFloat(0.0), moved);
            mpfr_set(ref.re.get(), moved.re.get(), MPFR_RNDN);
        }
        orbit = mpfr_orbit(ref, length);
        std::mt19937_64 rng(7);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        for (int i = 0; i < count; ++i) {
            const int64_t scale = -size - 3 + int64_t(rng() % 8);
            dcx.push_back(ExtFloat::make(unit(rng), scale));
            dcy.push_back(ExtFloat::make(unit(rng), scale));
        }
    }
    ExtFloat c_max() const {
        ExtFloat c(0.0);
        for (size_t i = 0; i < dcx.size(); ++i) c = std::max(c, abs(dcx[i]) + abs(dcy[i]));
        return c;
    }
};

// Linear steps in and around minibrots (2^-189 across with double offsets, on
// a reference beside its nucleus, and 2^-1993 with extended ones, on a
// reference cut short): a pixel whose offset and reference index repeat moves
// on by whole cycles until its steps would meet the limit, then takes them,
// so its count is the one without the detection, paused or not; at a limit
// no pixel could reach step by step, in few steps.
TEST(SkippingCycles, PixelsInsideAMinibrotKeepTheirCountsInFewSteps) {
    constexpr uint32_t kLimit = 60000, kHigh = 2000000000u;
    // Without the detection: nothing remembered before the last count.
    const auto blind = [](auto& state) {
        if constexpr (requires { state.seen_n; })
            state.seen_n = UINT32_MAX;
        else
            state.seen.n = UINT32_MAX;
    };
    // The count at the high limit is the one without the detection for a
    // pixel that ended before the limit; the others go round a cycle.
    int cycling = 0;
    uint64_t steps_without = 0, steps_with = 0;
    const auto check = [&](uint32_t without, uint64_t work, uint32_t with, uint64_t steps,
                           uint32_t high, uint64_t high_steps, size_t i) {
        EXPECT_EQ(with, without) << i;
        steps_without += UINT64_MAX - work;
        steps_with += steps;
        if (without != kLimit) {
            EXPECT_EQ(high, without) << i;
        } else if (high == kHigh && high_steps < 100000) {
            ++cycling;
        }
    };
    {
        const MinibrotPixels view(95, 6000, 40, 0.1);
        const DoubleOrbit orbit(view.orbit);
        BlaTable<double> table(orbit.re.data(), orbit.im.data(), uint32_t(orbit.re.size()),
                               view.c_max().to_double() * 1.5);
        while (!table.advance(1.0)) {
        }
        for (size_t i = 0; i < view.dcx.size(); ++i) {
            const double dcx = view.dcx[i].to_double(), dcy = view.dcy[i].to_double();
            PixelState s{0.0, 0.0, 0, 0, 0.0};
            blind(s);
            uint64_t work = UINT64_MAX, steps = 0, high_steps = 0;
            uint32_t without = 0;
            ASSERT_TRUE(bla_steps(orbit.span(), table, kLimit, dcx, dcy, s, work, without));
            const uint32_t with = iterate_bla(orbit.span(), table, kLimit, dcx, dcy, &steps);
            const uint32_t high = iterate_bla(orbit.span(), table, kHigh, dcx, dcy, &high_steps);
            check(without, work, with, steps, high, high_steps, i);
            std::vector<Orbit> paused{fresh_perturbed(dcx, dcy)};
            Budget every;
            every.max_steps = 37;
            while (!iterate_bla_batch(orbit.span(), table, kLimit, paused.data(), 1, every)) {
            }
            EXPECT_EQ(paused[0].n, without) << i;
        }
    }
    {
        const MinibrotPixels view(997, 6000, 16);
        const ExtOrbitSpan orbit = view.orbit.span();
        BlaTable<ExtFloat> table(orbit.re, orbit.im, orbit.length, view.c_max() * ExtFloat(1.5));
        while (!table.advance(1.0)) {
        }
        BatchCase c("minibrot", view.orbit, kLimit);
        std::vector<uint32_t> withouts;
        for (size_t i = 0; i < view.dcx.size(); ++i) {
            c.add(view.dcx[i], view.dcy[i]);
            ExtPixelState s{};
            blind(s);
            uint64_t work = UINT64_MAX, steps = 0, high_steps = 0;
            uint32_t without = 0;
            ASSERT_TRUE(
                bla_steps_ext(orbit, table, kLimit, view.dcx[i], view.dcy[i], s, work, without));
            const uint32_t with =
                iterate_bla_ext(orbit, table, kLimit, view.dcx[i], view.dcy[i], &steps);
            const uint32_t high =
                iterate_bla_ext(orbit, table, kHigh, view.dcx[i], view.dcy[i], &high_steps);
            check(without, work, with, steps, high, high_steps, i);
            withouts.push_back(without);
        }
        // Paused every few steps, through the records.
        c.finish();
        std::vector<Orbit> paused = c.fresh();
        Budget every;
        every.max_steps = 37;
        while (
            !iterate_bla_ext_batch(c.batch(), table, kLimit, paused.data(), paused.size(), every)) {
        }
        for (size_t i = 0; i < paused.size(); ++i) EXPECT_EQ(paused[i].n, withouts[i]) << i;
    }
    EXPECT_GT(cycling, 5);
    EXPECT_LT(steps_with * 4, steps_without);
}

// A public location at 2e-50, 9 x 9 pixels with extended offsets: they
// escape after some 170,000 iterations, mostly passed over by linear steps,
// and the escapes of some are kept only as those steps summed fewer error
// terms than the count, a number the lanes carry between the steps.
BatchCase public_view_at_2e50_extended() {
    constexpr int32_t kSide = 9;
    const PlannedView planned = public_view_at_2e50(kSide);
    PerturbationPlan& plan = *planned.plan;
    const ReferenceOrbit& o = plan.main_orbit();
    BatchCase c("public 2e-50", extended({o.re(), o.im(), o.length(), o.escaped()}),
                kPublic2e50Limit);
    for (int32_t y = 0; y < kSide; ++y)
        for (int32_t x = 0; x < kSide; ++x)
            c.add(ExtFloat(plan.column_offsets()[x]), ExtFloat(plan.row_offsets()[y]));
    c.form_lanes();
    return c;
}

// Where doubles suffice, the linear-step loop of extended offsets keeps the
// escapes the double one keeps, those kept only by its sharper error bound
// included: its linear steps and its walk of single steps count the terms
// alike.
TEST(SkippingExtended, KeepsTheDoubleLoopsEscapesWhereDoublesSuffice) {
    const BatchCase c = public_view_at_2e50_extended();
    const DoubleOrbit doubles(c.orbit);
    double c_max = 0.0;
    for (size_t i = 0; i < c.dcx.size(); ++i)
        c_max = std::max(c_max, std::fabs(c.dcx[i].to_double()) + std::fabs(c.dcy[i].to_double()));
    BlaTable<double> table(doubles.re.data(), doubles.im.data(), uint32_t(doubles.re.size()),
                           c_max * 1.5);
    const ExtOrbitSpan orbit = c.orbit.span();
    BlaTable<ExtFloat> ext_table(orbit.re, orbit.im, orbit.length, ExtFloat(c_max * 1.5));
    while (!table.advance(1.0)) {
    }
    while (!ext_table.advance(1.0)) {
    }
    int kept = 0;
    for (size_t i = 0; i < c.dcx.size(); ++i) {
        const uint32_t n =
            iterate_bla(doubles.span(), table, c.limit, c.dcx[i].to_double(), c.dcy[i].to_double());
        EXPECT_EQ(iterate_bla_ext(orbit, ext_table, c.limit, c.dcx[i], c.dcy[i]), n) << i;
        kept += n != kNeedsOtherReference && n < c.limit;
    }
    EXPECT_GT(kept, 40);
}

// The linear steps of extended offsets with their single steps on the lanes:
// the scalar loop's counts, refusals and z at every level, in one call or
// paused every few steps and resumed by the lanes or the scalar loop in turn,
// on pixels that switch between linear and single steps (beside i, the public
// view), rebase and meet the reference's end (early, inside), and go round
// cycles inside a minibrot.
TEST(SkippingLanesExtended, GiveTheScalarLoopsCountsAndZAtEveryLevel) {
    std::vector<BatchCase> cases;
    for (const BatchCase& c : batch_cases())
        if (c.name.rfind("limit", 0) != 0) cases.push_back(c);
    {
        const MinibrotPixels view(997, 6000, 16);
        BatchCase c("minibrot, cycles", view.orbit, 60000);
        for (size_t i = 0; i < view.dcx.size(); ++i) c.add(view.dcx[i], view.dcy[i]);
        c.form_lanes();
        cases.push_back(std::move(c));
    }
    cases.push_back(public_view_at_2e50_extended());
    int linear = 0, refused = 0, at_limit = 0;
    for (const BatchCase& c : cases) {
        const ExtOrbitSpan orbit = c.orbit.span();
        ExtFloat c_max(0.0);
        for (size_t i = 0; i < c.dcx.size(); ++i)
            c_max = std::max(c_max, abs(c.dcx[i]) + abs(c.dcy[i]));
        BlaTable<ExtFloat> table(orbit.re, orbit.im, orbit.length, c_max * ExtFloat(1.5));
        while (!table.advance(1.0)) {
        }
        std::vector<double> gates;
        form_bla_gates(table, orbit.length, gates);
        std::vector<Orbit> expected = c.fresh();
        ASSERT_TRUE(iterate_bla_ext_batch(c.batch(), table, c.limit, expected.data(),
                                          expected.size(), Budget{}));
        for (size_t i = 0; i < expected.size(); ++i) {
            uint64_t steps = 0;
            const uint32_t n = iterate_bla_ext(orbit, table, c.limit, c.dcx[i], c.dcy[i], &steps);
            linear += n != kNeedsOtherReference && steps < n;
            refused += n == kNeedsOtherReference;
            at_limit += n == c.limit;
        }
        const auto same = [&](const std::vector<Orbit>& records, const std::string& how) {
            for (size_t i = 0; i < records.size(); ++i) {
                const std::string where = c.name + " " + how + " pixel " + std::to_string(i);
                ASSERT_TRUE(records[i].done) << where;
                EXPECT_EQ(records[i].n, expected[i].n) << where;
                EXPECT_EQ(std::bit_cast<uint64_t>(records[i].x),
                          std::bit_cast<uint64_t>(expected[i].x))
                    << where;
                EXPECT_EQ(std::bit_cast<uint64_t>(records[i].y),
                          std::bit_cast<uint64_t>(expected[i].y))
                    << where;
            }
        };
        for (int level = 1; level <= static_cast<int>(best_simd_level()); ++level) {
            const auto at = static_cast<SimdLevel>(level);
            std::vector<Orbit> whole = c.fresh();
            bool done = false;
            ASSERT_TRUE(iterate_bla_ext_lanes_at(at, c.batch(), table, gates.data(), c.limit,
                                                 whole.data(), whole.size(), Budget{}, done));
            EXPECT_TRUE(done);
            same(whole, simd_level_name(at));
            std::vector<Orbit> paused = c.fresh();
            Budget every;
            every.max_steps = 37;
            done = false;
            for (int call = 0; !done; ++call) {
                if (call % 3 == 2)
                    done = iterate_bla_ext_batch(c.batch(), table, c.limit, paused.data(),
                                                 paused.size(), every);
                else
                    iterate_bla_ext_lanes_at(at, c.batch(), table, gates.data(), c.limit,
                                             paused.data(), paused.size(), every, done);
            }
            same(paused, std::string(simd_level_name(at)) + " paused");
        }
    }
    EXPECT_GT(linear, 50);
    EXPECT_GT(refused, 0);
    EXPECT_GT(at_limit, 5);
}

}  // namespace
}  // namespace quorvel
