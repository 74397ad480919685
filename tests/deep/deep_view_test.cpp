// Views far below the double range: sampled pixels against MPFR at the
// depth's precision and at 64 bits more (only pixels where the two agree),
// through the view's pixel query and its lookahead alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "deep/perturbation_plan.h"
#include "mpfr_count.h"
#include "view/fractal.h"
#include "view/smooth_fraction.h"

namespace quorvel {
namespace {

using sample::mpfr_count;
using sample::pixel_byte;

struct Checked {
    int compared = 0, wrong = 0;
};

// At the Misiurewicz point c = i, give or take less than a pixel: detail at
// every depth, counts growing by about 2.65 a decade. The centre carries
// thousands of bits.
std::unique_ptr<Fractal> near_i(int32_t size, ExtFloat radius, uint32_t limit) {
    auto view = std::make_unique<Fractal>(size, size);
    view->set_view(*WideReal::parse("3e-1010"), *WideReal::parse("1"), radius);
    view->set_max_iterations(limit);
    view->prepare(true);
    return view;
}

Checked check_against_mpfr(Fractal& view, int32_t every) {
    const GridCoordinates grid = view.grid_coordinates();
    const long bits = reference_bits(view.exact_radius());
    Checked result;
    MpfrNumber cx(bits + 64), cy(bits + 64);
    for (int32_t y = 0; y < view.height(); y += every)
        for (int32_t x = (y / every) % every; x < view.width(); x += every) {
            grid.set_column(cx.get(), x);
            grid.set_row(cy.get(), y);
            const uint32_t limit = view.max_iterations();
            const uint32_t a = mpfr_count(cx.get(), cy.get(), limit, bits);
            const uint32_t b = mpfr_count(cx.get(), cy.get(), limit, bits + 64);
            if (a != b) continue;
            ++result.compared;
            result.wrong += view.pixel_value(x, y) != pixel_byte(a, limit);
        }
    return result;
}

TEST(DeepView, SampledPixelsEqualMpfrAtEveryDepth) {
    for (const char* radius : {"1e-60", "1e-160", "1e-320", "1e-1000"}) {
        auto view = near_i(24, parse_radius(radius).value(), 6000);
        ASSERT_TRUE(view->wide()) << radius;
        ASSERT_TRUE(view->perturbed()) << radius;
        const Checked c = check_against_mpfr(*view, 3);
        EXPECT_GT(c.compared, 40) << radius;
        EXPECT_EQ(c.wrong, 0) << radius;
    }
}

// Every pixel through the pixel query, then its count and fraction code.
struct Pixels {
    std::vector<uint32_t> counts;
    std::vector<float> codes;
};

Pixels computed(Fractal& view) {
    const size_t size = static_cast<size_t>(view.width()) * view.height();
    for (int32_t y = 0; y < view.height(); ++y)
        for (int32_t x = 0; x < view.width(); ++x) view.pixel_value(x, y);
    const MaskedImage& image = *view.image();
    const float* codes = image.fractions();
    std::vector<uint32_t> counts(size);
    for (size_t i = 0; i < size; ++i) counts[i] = image.counts().get(i);
    return {counts,
            codes ? std::vector<float>(codes, codes + size) : std::vector<float>(size, 0.0f)};
}

// The same with the pixels of rows [0, rows) iterated ahead first.
Pixels computed_ahead(Fractal& view, int32_t rows) {
    view.queue_ahead(0, 0, view.width() - 1, rows - 1);
    while (!view.run_ahead(Budget{})) {
    }
    return computed(view);
}

// Smooth colouring in deep views: on the 192-bit kernel, double and extended
// offsets, with and without linear steps, each escaped pixel's s comes from
// its own orbit, as MPFR iterates it, through the pixel query and through the
// lookahead at every SIMD level alike; with smooth off the counts are those
// with it on, and no pixel has a fraction.
TEST(DeepView, SmoothFractionsFollowTheMpfrOrbit) {
    const SimdLevel before = active_simd_level();
    for (const char* radius : {"1e-20", "1e-60", "1e-160"})
        for (const DeepKernel mode : {DeepKernel::automatic, DeepKernel::plain}) {
            const std::string name =
                std::string(radius) + (mode == DeepKernel::plain ? " plain" : "");
            auto make = [&](bool smooth) {
                auto view = near_i(24, parse_radius(radius).value(), 6000);
                view->set_deep_kernel(mode);
                view->set_smooth(smooth);
                return view;
            };
            auto query = make(true);
            const Pixels want = computed(*query);
            // Plain perturbation serves wherever the double path ends.
            EXPECT_EQ(query->perturbed(),
                      mode == DeepKernel::plain || std::string(radius) != "1e-20")
                << name;

            const GridCoordinates grid = query->grid_coordinates();
            const long bits = reference_bits(query->exact_radius());
            MpfrNumber cx(bits), cy(bits);
            int compared = 0;
            for (int32_t y = 0; y < 24; y += 3)
                for (int32_t x = (y / 3) % 3; x < 24; x += 3) {
                    grid.set_column(cx.get(), x);
                    grid.set_row(cy.get(), y);
                    const size_t i = static_cast<size_t>(y) * 24 + x;
                    const uint32_t n = want.counts[i];
                    if (n != mpfr_count(cx.get(), cy.get(), 6000, bits) || n == 6000) continue;
                    ++compared;
                    const double s = n + (want.codes[i] - 1.0);
                    EXPECT_GE(s, n) << name << " " << x << "," << y;
                    EXPECT_LT(s, n + 1.0) << name << " " << x << "," << y;
                    EXPECT_NEAR(s, sample::mpfr_smooth(cx.get(), cy.get(), 6000, bits), 1e-3)
                        << name << " " << x << "," << y;
                }
            EXPECT_GT(compared, 30) << name;

            for (int level = 0; level <= int(best_simd_level()); ++level) {
                set_simd_level(static_cast<SimdLevel>(level));
                for (const bool smooth : {true, false}) {
                    const Pixels got = computed_ahead(*make(smooth), 24);
                    EXPECT_EQ(got.counts, want.counts) << name << " " << level << " " << smooth;
                    if (smooth)
                        EXPECT_EQ(got.codes, want.codes) << name << " " << level;
                    else
                        EXPECT_EQ(std::count(got.codes.begin(), got.codes.end(), 0.0f), 24 * 24)
                            << name << " " << level;
                }
            }
            set_simd_level(before);
        }
}

// Inside a minibrot, where every pixel reaches the limit (most found early by
// cycle detection), no pixel has a fraction, at every SIMD level.
TEST(DeepView, PixelsAtTheLimitKeepNoFraction) {
    const SimdLevel before = active_simd_level();
    for (const char* radius : {"1e-40", "1e-200"})
        for (int level = 0; level <= int(best_simd_level()); ++level) {
            set_simd_level(static_cast<SimdLevel>(level));
            auto view = std::make_unique<Fractal>(16, 16);
            view->set_view(
                *WideReal::parse("-1.7548776662466927600495088963585286918946066177727931"),
                *WideReal::parse("0"), *parse_radius(radius));
            view->set_max_iterations(5000);
            view->set_smooth(true);
            view->prepare(true);
            const Pixels got = computed_ahead(*view, 8);
            EXPECT_EQ(std::count(got.counts.begin(), got.counts.end(), 5000u), 256) << radius;
            EXPECT_EQ(std::count(got.codes.begin(), got.codes.end(), 0.0f), 256) << radius;
        }
    set_simd_level(before);
}

// A public location at 2e-50 whose pixels escape near 170,000 iterations,
// after many rebases and linear steps: sampled pixels' s against MPFR, through
// the pixel query and the lookahead.
TEST(DeepView, SmoothFractionsAfterLinearStepsAndRebases) {
    const char* x0 =
        "-0.049470029063104093751692226727353630118745712488224879318104940232642194772686903427"
        "99154997475941900000000000000000000";
    const char* y0 =
        "-0.674787575844675364011392053130597656334770706822403480697999794790994198345484511151"
        "42084995403102999999999999999998800";
    const uint32_t limit = 263010;
    auto make = [&] {
        auto view = std::make_unique<Fractal>(64, 64);
        view->set_view(*WideReal::parse(x0), *WideReal::parse(y0), *parse_radius("2e-50"));
        view->set_max_iterations(limit);
        view->set_smooth(true);
        view->prepare(true);
        return view;
    };
    auto query = make(), ahead = make();
    while (!ahead->prepare_deep_kernel(1.0)) {
    }
    EXPECT_TRUE(ahead->perturbation_plan()->uses_table());
    const GridCoordinates grid = query->grid_coordinates();
    const long bits = reference_bits(query->exact_radius());
    MpfrNumber cx(bits), cy(bits);
    int compared = 0;
    for (int32_t k = 0; k < 6; ++k) {
        const int32_t x = 5 + 11 * k, y = 58 - 9 * k;
        ahead->queue_ahead(x, y, x, y);
        while (!ahead->run_ahead(Budget{})) {
        }
        query->pixel_value(x, y);
        ahead->pixel_value(x, y);
        const size_t i = static_cast<size_t>(y) * 64 + x;
        const uint32_t n = query->image()->counts().get(i);
        EXPECT_EQ(ahead->image()->counts().get(i), n);
        EXPECT_EQ(ahead->image()->fractions()[i], query->image()->fractions()[i]);
        grid.set_column(cx.get(), x);
        grid.set_row(cy.get(), y);
        if (n != mpfr_count(cx.get(), cy.get(), limit, bits) || n == limit) continue;
        ++compared;
        EXPECT_NEAR(n + (query->image()->fractions()[i] - 1.0),
                    sample::mpfr_smooth(cx.get(), cy.get(), limit, bits), 1e-3)
            << x << "," << y;
    }
    EXPECT_GE(compared, 5);
}

TEST(DeepView, LookaheadGivesTheQueryValuesWhenExtended) {
    auto direct = near_i(12, parse_radius("1e-700").value(), 6000);
    auto ahead = near_i(12, parse_radius("1e-700").value(), 6000);
    while (!ahead->prepare_deep_kernel(1.0)) {
    }
    ASSERT_TRUE(ahead->perturbation_plan()->extended());
    for (int32_t y = 0; y < 12; ++y)
        for (int32_t x = 0; x < 12; ++x) {
            if ((x + y) % 3 == 0) ahead->run_ahead_at_once(x, y, 32);
            if ((x + y) % 3 == 1) ahead->queue_ahead(x, y, x, y);
        }
    // Paused every few hundred steps, the pixels still get their values.
    Budget small;
    small.max_steps = 300;
    ahead->run_ahead_for(5, 7, small);
    while (!ahead->run_ahead(small)) {
    }
    for (int32_t y = 0; y < 12; ++y)
        for (int32_t x = 0; x < 12; ++x)
            EXPECT_EQ(ahead->pixel_value(x, y), direct->pixel_value(x, y)) << x << "," << y;
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

// Around c = 0.3, whose orbit escapes within a dozen steps, many pixels
// outlast every main reference the search tries and need others.
std::vector<BigFloat> axis(double from, double step, int n) {
    std::vector<BigFloat> t;
    for (int i = 0; i < n; ++i) t.push_back(BigFloat(from + i * step));
    return t;
}

// Sliced or not, other references and a pixel's own give the same count and
// escaped z, and that z gives the s of the pixel's MPFR orbit.
TEST(OtherReferences, WorkInSlicesGivesTheUnslicedCounts) {
    const std::vector<BigFloat> columns = axis(0.2, 0.2 / 16, 16), rows = axis(0.1, -0.2 / 16, 16);
    PerturbationPlan whole(columns, rows, 1e-35, 400), sliced(columns, rows, 1e-35, 400);
    // A budget that is always over: each call still moves the work on.
    ManualClock frozen;
    Stopwatch watch(&frozen);
    const Budget over{&watch, 0.0};
    int calls = 0, escaped = 0;
    for (int32_t y = 0; y < 16; y += 3)
        for (int32_t x = 0; x < 16; x += 3) {
            EscapedZ z, z_sliced;
            const uint32_t want = whole.iterate_elsewhere(x, y, &z);
            uint32_t got = kNeedsOtherReference;
            while (got == kNeedsOtherReference && calls < 100000) {
                got = sliced.resolve(x, y, over, &z_sliced);
                ++calls;
            }
            EXPECT_EQ(got, want) << x << "," << y;
            if (want == 400) continue;
            ++escaped;
            EXPECT_TRUE(z_sliced.x == z.x && z_sliced.y == z.y) << x << "," << y;
            MpfrNumber cx(256), cy(256);
            set_from_big_float(cx.get(), columns[x]);
            set_from_big_float(cy.get(), rows[y]);
            const float code =
                smooth_fraction_code(columns[x].to_double(), rows[y].to_double(), z.x, z.y);
            EXPECT_NEAR(want + (code - 1.0), sample::mpfr_smooth(cx.get(), cy.get(), 400, 256),
                        1e-3)
                << x << "," << y;
        }
    EXPECT_GT(calls, 36);  // the budget did cut the work
    EXPECT_GT(escaped, 10);
    EXPECT_EQ(sliced.reference_count(), whole.reference_count());
}

TEST(OtherReferences, KeepWithinTheirMemoryCap) {
    const std::vector<BigFloat> columns = axis(0.2, 0.2 / 16, 16), rows = axis(0.1, -0.2 / 16, 16);
    PerturbationPlan capped(columns, rows, 1e-35, 400), free(columns, rows, 1e-35, 400);
    capped.set_memory_cap(0);
    for (int32_t y = 0; y < 16; y += 5)
        for (int32_t x = 0; x < 16; x += 5)
            EXPECT_EQ(capped.iterate_elsewhere(x, y), free.iterate_elsewhere(x, y));
    EXPECT_EQ(capped.reference_count(), 1u);
    EXPECT_EQ(capped.extra_memory(), 0u);
    EXPECT_GT(free.reference_count(), 1u);
}

}  // namespace
}  // namespace quorvel
