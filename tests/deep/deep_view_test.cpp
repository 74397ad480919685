// Views far below the double range: sampled pixels against MPFR at the
// depth's precision and at 64 bits more (only pixels where the two agree),
// through the view's pixel query and its lookahead alike.
#include <gtest/gtest.h>

#include "deep/perturbation_plan.h"
#include "mpfr_count.h"
#include "view/fractal.h"

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

TEST(OtherReferences, WorkInSlicesGivesTheUnslicedCounts) {
    const std::vector<BigFloat> columns = axis(0.2, 0.2 / 16, 16), rows = axis(0.1, -0.2 / 16, 16);
    PerturbationPlan whole(columns, rows, 1e-35, 400), sliced(columns, rows, 1e-35, 400);
    // A budget that is always over: each call still moves the work on.
    ManualClock frozen;
    Stopwatch watch(&frozen);
    const Budget over{&watch, 0.0};
    int calls = 0;
    for (int32_t y = 0; y < 16; y += 3)
        for (int32_t x = 0; x < 16; x += 3) {
            const uint32_t want = whole.iterate_elsewhere(x, y);
            uint32_t got = kNeedsOtherReference;
            while (got == kNeedsOtherReference && calls < 100000) {
                got = sliced.resolve(x, y, over);
                ++calls;
            }
            EXPECT_EQ(got, want) << x << "," << y;
        }
    EXPECT_GT(calls, 36);  // the budget did cut the work
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
