// The search for a minibrot's nucleus near a view, the plans that take its
// periodic orbit as their main reference, offsets from a point between pixels,
// and the double-double kernel for pixels whose counts doubles cannot vouch
// for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "deep/nucleus_search.h"
#include "deep/perturbation_plan.h"
#include "deep/perturbation_precise.h"
#include "deep/perturbation_step.h"
#include "deep/precise_values.h"
#include "mpfr_count.h"
#include "view/fractal.h"

namespace quorvel {
namespace {

using sample::mpfr_count;
using sample::pixel_byte;

std::unique_ptr<ReferenceOrbit> centre_orbit(double cx, double cy, bool extended) {
    MpfrNumber x(192), y(192);
    mpfr_set_d(x.get(), cx, MPFR_RNDN);
    mpfr_set_d(y.get(), cy, MPFR_RNDN);
    auto orbit = std::make_unique<ReferenceOrbit>(x.get(), y.get(), 192, 1000, extended);
    orbit->complete_now();
    return orbit;
}

NucleusSearch::Result solve(NucleusSearch& search, const ReferenceOrbit& orbit) {
    NucleusSearch::Result r = NucleusSearch::Result::working;
    for (int calls = 0; r == NucleusSearch::Result::working && calls < 100000; ++calls)
        r = search.solve(orbit, 0.0);
    return r;
}

TEST(NucleusSearch, FindsTheLowestPeriodAndItsNucleusBesideTheCentre) {
    const struct {
        std::complex<double> nucleus;
        uint32_t period;
    } cases[] = {
        {{-1.0, 0.0}, 2},
        {{-0.12256116687665361, 0.74486176661974423}, 3},
        {{-1.3107026413368329, 0.0}, 4},
        {{-0.15652016683375508, 1.0322471089228318}, 4},
    };
    const std::complex<double> away(3e-4, -2e-4);
    for (bool extended : {false, true})
        for (const auto& c : cases) {
            const std::complex<double> centre = c.nucleus + away;
            const auto orbit = centre_orbit(centre.real(), centre.imag(), extended);
            NucleusSearch search(ExtFloat(1e-3));
            ASSERT_TRUE(search.scan(*orbit, 1.0)) << c.nucleus;
            EXPECT_EQ(search.period(), c.period) << c.nucleus;
            ASSERT_EQ(solve(search, *orbit), NucleusSearch::Result::found) << c.nucleus;
            const std::complex<double> offset(search.offset_re().to_double(),
                                              search.offset_im().to_double());
            EXPECT_LT(std::abs(offset + away), 1e-12) << c.nucleus << " extended " << extended;
        }
}

TEST(NucleusSearch, FindsNothingWhereNoNucleusIsNear) {
    // Outside the set: the disk never takes in 0 before the orbit escapes.
    const auto outside = centre_orbit(0.3, 0.0, false);
    ASSERT_TRUE(outside->escaped());
    NucleusSearch search(ExtFloat(1e-4));
    EXPECT_FALSE(search.scan(*outside, 1.0));
    EXPECT_TRUE(search.caught_up(*outside));
}

// A 192-bit grid and a wide one: offsets from a point are those from the pixel
// there, and from between two pixels they are the pixel's less the gap.
TEST(GridCoordinates, OffsetsFromAPointAreExactDifferences) {
    Fractal table(24, 20), wide(24, 20);
    table.set_view(BigFloat("-B.E5F721E91B8DA48AD8D3740Ax-1"), BigFloat("+8.6FD5EAE7E864DDA1Dx-3"),
                   1e-25);
    wide.set_view(*WideReal::parse("-0.0494700290631040937516922267273536301187457124882248793"),
                  *WideReal::parse("-0.6747875758446753640113920531305976563347707068224034"),
                  *parse_radius("2e-50"));
    for (Fractal* view : {&table, &wide}) {
        view->prepare(true);
        const GridCoordinates grid = view->grid_coordinates();
        MpfrNumber x(400), y(400), half(400);
        grid.set_column(x.get(), 7);
        grid.set_row(y.get(), 13);
        EXPECT_EQ(grid.column_offsets_from(x.get()), grid.column_offsets(7));
        EXPECT_EQ(grid.row_offsets_from(y.get()), grid.row_offsets(13));
        const std::vector<ExtFloat> ext = grid.column_offsets_ext_from(x.get());
        const std::vector<ExtFloat> pixel = grid.column_offsets_ext(7);
        for (size_t i = 0; i < ext.size(); ++i) EXPECT_EQ(ext[i], pixel[i]) << i;
        // Halfway to column 8: every offset moves by half a step.
        grid.set_column(half.get(), 8);
        mpfr_add(half.get(), half.get(), x.get(), MPFR_RNDN);
        mpfr_div_2ui(half.get(), half.get(), 1, MPFR_RNDN);
        const std::vector<double> from_half = grid.column_offsets_from(half.get());
        const std::vector<double> from_8 = grid.column_offsets(8);
        const std::vector<double> from_7 = grid.column_offsets(7);
        for (size_t i = 0; i < from_half.size(); ++i)
            EXPECT_DOUBLE_EQ(from_half[i], 0.5 * (from_7[i] + from_8[i])) << i;
    }
}

TEST(DoubleDouble, ProductsAndSumsKeepWhatDoublesDrop) {
    const double a = 1.0 + 0x1p-30;
    const DoubleDouble square = DoubleDouble{a, 0.0} * DoubleDouble{a, 0.0};
    EXPECT_EQ(square.hi, 1.0 + 0x1p-29);
    EXPECT_EQ(square.lo, 0x1p-60);
    const DoubleDouble sum = DoubleDouble{1.0, 0.0} + DoubleDouble{0x1p-80, 0.0};
    EXPECT_EQ(sum.hi, 1.0);
    EXPECT_EQ(sum.lo, 0x1p-80);
    const DoubleDouble back = sum - DoubleDouble{1.0, 0.0};
    EXPECT_EQ(back.hi, 0x1p-80);
    EXPECT_EQ(rounded(DoubleDouble{3.0, 0x1p-60} * DoubleDouble{1.0 / 3.0, 0.0}), 1.0);
    // Of long doubles, where they have 64 bits: below their last place.
    if (std::numeric_limits<long double>::digits >= 64) {
        const long double b = 1.0L + 0x1p-40L;
        const LongDoubleDouble wide = LongDoubleDouble{b, 0.0L} * LongDoubleDouble{b, 0.0L};
        EXPECT_EQ(wide.hi, 1.0L + 0x1p-39L);
        EXPECT_EQ(wide.lo, 0x1p-80L);
    }
}

// Quick sums lose at most a few units of their operands' size, also where the
// sum cancels them nearly to nothing: against MPFR on operands of every
// relative size and sign.
TEST(DoubleDouble, QuickSumsStayWithinUnitsOfTheirOperands) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    MpfrNumber exact(400), term(400);
    double worst = 0.0;
    int cancelled = 0;
    for (int k = 0; k < 20000; ++k) {
        const double a_hi = std::ldexp(unit(random), static_cast<int>(random() % 40) - 20);
        const DoubleDouble a = twofold_detail::quick_two_sum(a_hi, a_hi * unit(random) * 0x1p-53);
        // A quarter nearly cancel a.
        const double b_hi = k % 4 == 0
                                ? -a_hi * (1.0 + unit(random) * 0x1p-40)
                                : std::ldexp(unit(random), static_cast<int>(random() % 40) - 20);
        const DoubleDouble b = twofold_detail::quick_two_sum(b_hi, b_hi * unit(random) * 0x1p-53);
        const DoubleDouble q = quick_add(a, b);
        mpfr_set_d(exact.get(), a.hi, MPFR_RNDN);
        for (double part : {a.lo, b.hi, b.lo, -q.hi, -q.lo}) {
            mpfr_set_d(term.get(), part, MPFR_RNDN);
            mpfr_add(exact.get(), exact.get(), term.get(), MPFR_RNDN);
        }
        const double size = std::fabs(a.hi) + std::fabs(b.hi);
        worst = std::max(worst, std::fabs(mpfr_get_d(exact.get(), MPFR_RNDN)) / size);
        cancelled += std::fabs(q.hi) < 0x1p-30 * size;
        // Without cancellation, the full sum's hi part.
        if (k % 4 != 0 && a.hi * b.hi > 0.0) {
            EXPECT_EQ(q.hi, (a + b).hi) << k;
        }
    }
    EXPECT_LT(worst, 0x1p-104);
    EXPECT_GT(cancelled, 1000);
}

// Extended values become long doubles exactly, on both sides of the double
// range's edges and far beyond them.
TEST(PreciseKernel, ExtendedValuesBecomeLongDoublesExactly) {
    if (!precise_detail::kX87) GTEST_SKIP() << "long double without the x87 range";
    for (int64_t e : {-16000, -5000, -1100, -1024, -1023, -1022, -1021, -53, 0, 1, 1022, 1023, 1024,
                      1025, 5000}) {
        for (double m : {1.0, -1.5, 1.9999999999999998}) {
            const long double got = precise_detail::to_long_double(ExtFloat::make(m, e));
            EXPECT_EQ(got, std::ldexp(static_cast<long double>(m), static_cast<int>(e)))
                << m << " 2^" << e;
        }
    }
    EXPECT_EQ(precise_detail::to_long_double(ExtFloat{}), 0.0L);
}

// On the orbit of the period-3 nucleus, kept with its low parts, pixels around
// it get MPFR's counts in long double and double-doubles, wrapping round the
// orbit; their squared error estimates are some 2^16 and 2^94 below that of
// doubles on the same steps.
TEST(PreciseKernel, GivesMpfrCountsWithAFarSmallerErrorEstimate) {
    const double cx = -0.12256116687665361, cy = 0.74486176661974423;
    MpfrNumber x(192), y(192);
    mpfr_set_d(x.get(), cx, MPFR_RNDN);
    mpfr_set_d(y.get(), cy, MPFR_RNDN);
    ReferenceOrbit orbit(x.get(), y.get(), 192, 4, false, ReferenceOrbit::kMaxLength, true);
    orbit.complete_now();
    ASSERT_EQ(orbit.length(), 4u);
    ASSERT_NE(orbit.re_low(), nullptr);
    const PreciseOrbitSpan span{orbit.re(),     orbit.im(),     orbit.re_low(),
                                orbit.im_low(), orbit.length(), orbit.escaped()};
    const uint32_t limit = 3000;
    int escaped = 0;
    for (int j = -6; j <= 6; ++j)
        for (int i = -6; i <= 6; ++i) {
            const double dcx = 0.031 * i, dcy = 0.029 * j;
            PreciseState<DoubleDouble> s;
            PreciseState<long double> t;
            uint32_t n = 0, m = 0;
            ASSERT_TRUE(precise_steps(span, limit, DoubleDouble{dcx, 0.0}, DoubleDouble{dcy, 0.0},
                                      s, UINT32_MAX, n));
            ASSERT_TRUE(precise_steps<long double>(span, limit, dcx, dcy, t, UINT32_MAX, m));
            MpfrNumber px(192), py(192);
            mpfr_add_d(px.get(), x.get(), dcx, MPFR_RNDN);
            mpfr_add_d(py.get(), y.get(), dcy, MPFR_RNDN);
            const uint32_t truth = mpfr_count(px.get(), py.get(), limit, 192);
            EXPECT_EQ(n, truth) << i << "," << j;
            EXPECT_EQ(m, truth) << i << "," << j;
            escaped += n < limit;
        }
    EXPECT_GT(escaped, 20);
    EXPECT_LT(escaped, 160);
    // The orbit kept as extended values with their low parts gives long
    // double, alone and twofold, the same counts.
    ReferenceOrbit ext(x.get(), y.get(), 192, 4, true, ReferenceOrbit::kMaxLength, true);
    ext.complete_now();
    ASSERT_NE(ext.ext_re_low(), nullptr);
    PreciseOrbitSpan ext_span = span;
    ext_span.ext_re = ext.ext_re();
    ext_span.ext_im = ext.ext_im();
    ext_span.ext_re_low = ext.ext_re_low();
    ext_span.ext_im_low = ext.ext_im_low();
    for (int i = -6; i <= 6; ++i) {
        PreciseState<long double> a, b;
        uint32_t n = 0, m = 0;
        const long double dcx = 0.031L * i, dcy = 0.029L * (6 - i);
        ASSERT_TRUE(precise_steps(span, limit, dcx, dcy, a, UINT32_MAX, n));
        ASSERT_TRUE(precise_steps(ext_span, limit, dcx, dcy, b, UINT32_MAX, m));
        EXPECT_EQ(n, m) << i;
        PreciseState<LongDoubleDouble> c;
        ASSERT_TRUE(precise_steps(ext_span, limit, LongDoubleDouble{dcx, 0.0L},
                                  LongDoubleDouble{dcy, 0.0L}, c, UINT32_MAX, m));
        EXPECT_EQ(n, m) << i;
    }
    // Inside the minibrot, 40 steps in each kernel.
    PreciseState<DoubleDouble> dd;
    PreciseState<long double> wide;
    PixelState plain{0.0, 0.0, 0, 0, 0.0};
    uint32_t n = 0;
    ASSERT_FALSE(
        precise_steps(span, limit, DoubleDouble{0.01, 0.0}, DoubleDouble{0.02, 0.0}, dd, 40, n));
    ASSERT_FALSE(precise_steps<long double>(span, limit, 0.01, 0.02, wide, 40, n));
    ASSERT_FALSE(perturbed_steps({orbit.re(), orbit.im(), orbit.length(), false}, limit, 0.01, 0.02,
                                 plain, 40, n));
    EXPECT_EQ(dd.n, plain.n);
    EXPECT_GT(plain.error, 0.0);
    EXPECT_LT(dd.error, plain.error * 0x1p-90);
    if (std::numeric_limits<long double>::digits >= 64) {
        EXPECT_LT(wide.error, plain.error * 0x1p-14);
    }
}

// Offsets some 2^-700 from c = i, where orbits leave after some 560
// iterations: double-doubles with long double tests, on the extended orbit's
// values as doubles, give MPFR's counts, as twofold long doubles do on the
// extended values, and so does long double on either form.
TEST(PreciseKernel, DoubleDoublesServeExtendedOffsetsThatFitDoubles) {
    MpfrNumber x(1024), y(1024);
    mpfr_set_d(x.get(), 0.0, MPFR_RNDN);
    mpfr_set_d(y.get(), 1.0, MPFR_RNDN);
    const uint32_t limit = 3000;
    ReferenceOrbit ext(x.get(), y.get(), 1024, limit, true, ReferenceOrbit::kMaxLength, true);
    ext.complete_now();
    ASSERT_NE(ext.ext_re_low(), nullptr);
    const uint32_t length = ext.length();
    std::vector<double> re(length), im(length), re_low(length), im_low(length);
    for (uint32_t k = 0; k < length; ++k) {
        re[k] = ext.ext_re()[k].to_double();
        im[k] = ext.ext_im()[k].to_double();
        re_low[k] = ext.ext_re_low()[k].to_double();
        im_low[k] = ext.ext_im_low()[k].to_double();
    }
    const PreciseOrbitSpan narrow{re.data(),     im.data(), re_low.data(),
                                  im_low.data(), length,    ext.escaped()};
    PreciseOrbitSpan wide = narrow;
    wide.ext_re = ext.ext_re();
    wide.ext_im = ext.ext_im();
    wide.ext_re_low = ext.ext_re_low();
    wide.ext_im_low = ext.ext_im_low();
    std::vector<uint32_t> counts;
    for (int k = 0; k < 12; ++k) {
        const double angle = 0.53 * k, size = std::ldexp(1.0 + 0.37 * k, -700);
        const DoubleDouble dcx{size * std::cos(angle), 0.0}, dcy{size * std::sin(angle), 0.0};
        uint32_t n = 0, m = 0, w = 0, l = 0;
        // 300 steps, then to the end.
        PreciseState<DoubleDouble> a;
        PreciseState<LongDoubleDouble> b;
        const LongDoubleDouble wx{dcx.hi, 0.0L}, wy{dcy.hi, 0.0L};
        bool ended = precise_steps<DoubleDouble, long double>(narrow, limit, dcx, dcy, a, 300, n);
        ASSERT_FALSE(ended);
        ASSERT_FALSE(precise_steps(wide, limit, wx, wy, b, 300, m));
        // The error estimates agree: no square below the double range
        // counted as 0.
        EXPECT_GT(a.error, 0.5L * b.error) << k;
        EXPECT_LT(a.error, 2.0L * b.error) << k;
        ended = precise_steps<DoubleDouble, long double>(narrow, limit, dcx, dcy, a, UINT32_MAX, n);
        ASSERT_TRUE(ended);
        ASSERT_TRUE(precise_steps(wide, limit, wx, wy, b, UINT32_MAX, m));
        PreciseState<long double> c, d;
        ASSERT_TRUE(precise_steps<long double>(narrow, limit, dcx.hi, dcy.hi, c, UINT32_MAX, w));
        ASSERT_TRUE(precise_steps<long double>(wide, limit, dcx.hi, dcy.hi, d, UINT32_MAX, l));
        MpfrNumber px(1024), py(1024);
        mpfr_add_d(px.get(), x.get(), dcx.hi, MPFR_RNDN);
        mpfr_add_d(py.get(), y.get(), dcy.hi, MPFR_RNDN);
        const uint32_t truth = mpfr_count(px.get(), py.get(), limit, 1024);
        EXPECT_EQ(n, truth) << k;
        EXPECT_EQ(m, truth) << k;
        EXPECT_EQ(w, l) << k;
        EXPECT_EQ(c.escaped.x, d.escaped.x) << k;
        counts.push_back(truth);
    }
    std::sort(counts.begin(), counts.end());
    EXPECT_GT(counts.front(), 500u);
    EXPECT_LT(counts.back(), 700u);
    EXPECT_LT(counts.front(), counts.back());
}

// A public location at 2e-50 whose centre escapes near 170,000 iterations:
// the period and the nucleus come from the centre's orbit in slices; the
// nucleus's orbit serves the pixels, with linear steps or without, and their
// counts are MPFR's.
TEST(PerturbationPlan, MainReferenceIsANucleusFoundInSlices) {
    Fractal view(16, 16);
    view.set_view(*WideReal::parse("-0.049470029063104093751692226727353630118745712488224879318104"
                                   "94023264219477268690342799154997475941900000000000"),
                  *WideReal::parse("-0.674787575844675364011392053130597656334770706822403480697999"
                                   "79479099419834548451115142084995403102999999999999999880"),
                  *parse_radius("2e-50"));
    const uint32_t limit = 263010;
    view.set_max_iterations(limit);
    view.prepare(true);
    const WideView& wide = *view.wide();
    const GridCoordinates grid = view.grid_coordinates();
    const long bits = reference_bits(wide.radius);
    for (bool skipping : {false, true}) {
        PerturbationPlan plan(grid, wide.radius, std::min(abs(wide.step_x), abs(wide.step_y)),
                              limit, skipping);
        int slices = 0;
        while (!plan.prepare(0.01)) ++slices;
        EXPECT_GT(slices, 5);
        const ReferenceOrbit& main = plan.main_orbit();
        EXPECT_FALSE(main.escaped());
        EXPECT_EQ(main.length(), 86615u);
        // The nucleus lies within the view, nearer its centre than a pixel.
        EXPECT_NEAR(plan.reference_x(), 8, 1);
        EXPECT_NEAR(plan.reference_y(), 8, 1);
        MpfrNumber cx(bits), cy(bits);
        for (int32_t k = 0; k < 4; ++k) {
            const int32_t x = 3 + 4 * k, y = 13 - 3 * k;
            grid.set_column(cx.get(), x);
            grid.set_row(cy.get(), y);
            EXPECT_EQ(plan.iterate(x, y), mpfr_count(cx.get(), cy.get(), limit, bits))
                << x << "," << y << " skipping " << skipping;
        }
        // Pixels the error estimate of doubles cannot vouch for are run in
        // double-doubles on the nucleus's orbit, not on orbits of their own.
        for (int32_t y = 0; y < 16; ++y)
            for (int32_t x = 0; x < 16; ++x) plan.iterate(x, y);
        EXPECT_EQ(plan.own_references_built(), 0u);
        EXPECT_EQ(plan.reference_count(), 1u);
    }
}

}  // namespace
}  // namespace quorvel
