// The three strategies against an independent escape-time computation, and the
// preview, split and walk rules that decide which pixels get iterated.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "generators/boxed_generator.h"
#include "generators/contour_tracing_generator.h"
#include "generators/dumb_generator.h"
#include "generators/generator_factory.h"
#include "support/test_support.h"

namespace quorvel {

// Reaches the private queues and knobs of the generators.
struct GeneratorProbe {
    static std::deque<Box>& preview_queue(Generator& g) { return g.preview_queue_; }
    static void preview_box(Generator& g, int32_t step) {
        g.refine_preview_box(g.view_->image_for_use(), step);
    }
    static uint32_t filled_count(const BoxedGenerator& g) { return g.filled_count_; }
    static void set_legs_per_call(ContourTracingGenerator& g, uint32_t legs) {
        g.legs_per_call_ = legs;
    }
    static bool tracing(const ContourTracingGenerator& g) { return g.tracing_; }
    static const BitSet& filled(const ContourTracingGenerator& g) { return g.filled_; }
    static void set_kernel_steps(Generator& g, uint64_t steps) { g.kernel_steps_ = steps; }
};

namespace {

std::unique_ptr<Fractal> make_view(int32_t w, int32_t h, double cx, double cy, double radius,
                                   uint32_t limit) {
    auto view = std::make_unique<Fractal>(w, h);
    view->set_view(BigFloat(cx), BigFloat(cy), radius);
    view->set_max_iterations(limit);
    return view;
}

void complete(Generator& g) {
    for (int calls = 0; g.refine(0.25f); ++calls) {
        ASSERT_LT(calls, 100000) << "does not finish";
    }
}

std::vector<int> values_of(Fractal& view) {
    const uint8_t* v = view.image_for_use().values();
    return std::vector<int>(v, v + size_t(view.width()) * view.height());
}

// Straightforward escape time: z <- z^2 + c from 0 until |z|^2 >= 4.
std::vector<int> reference_of(Fractal& view) {
    view.prepare(true);
    std::vector<int> out;
    for (int32_t y = 0; y < view.height(); ++y)
        for (int32_t x = 0; x < view.width(); ++x) {
            out.push_back(qvtest::reference_value(view.column_coordinate(x).to_double(),
                                                  view.row_coordinate(y).to_double(),
                                                  view.max_iterations()));
        }
    return out;
}

double differing_share(const std::vector<int>& a, const std::vector<int>& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
    return double(n) / a.size();
}

struct ViewParams {
    const char* name;
    double cx, cy, radius;
    uint32_t limit;
    double max_share, min_cleverness;
};

constexpr ViewParams kViews[] = {
    {"whole set", -0.5, 0.0, 1.5, 300, 0.01, 0.2},
    {"seahorse valley", -0.745, 0.1, 0.01, 600, 0.01, 0.2},
    {"spiral", -0.7436438870371, 0.1318259042053, 1e-6, 2000, 0.01, 0.2},
    // Wide SIMD lanes iterate pixels around the border ahead of the walk.
    {"inside the set", -0.1, 0.0, 0.05, 200, 0.0, 0.8},
};

TEST(BruteForce, EqualsIndependentEscapeTimeAndStaysFinished) {
    auto view = make_view(160, 120, -0.5, 0.0, 1.5, 300);
    DumbGenerator g(*view);
    g.preview_cell = 12;
    complete(g);
    EXPECT_EQ(values_of(*view), reference_of(*view));
    EXPECT_EQ(view->computed_count(), 160u * 120);
    EXPECT_EQ(g.fraction_done(), 1.0);
    g.reset_preview();  // a pending preview does not run on a finished generator
    EXPECT_FALSE(g.refine(0.25f));
}

// The inferring strategies may only differ from brute force where thin
// structures escape their walks or boxes; inside the set they are exact.
TEST(InferringStrategies, AgreeWithBruteForce) {
    for (const ViewParams& p : kViews) {
        auto brute_view = make_view(200, 150, p.cx, p.cy, p.radius, p.limit);
        DumbGenerator brute(*brute_view);
        complete(brute);
        for (int type : {0, 1}) {
            auto view = make_view(200, 150, p.cx, p.cy, p.radius, p.limit);
            auto g = make_generator(type, *view);
            g->preview_cell = 12;
            g->reset_preview();
            complete(*g);
            const double share = differing_share(values_of(*view), values_of(*brute_view));
            std::printf("%-16s %-16s differing %.4f%%  cleverness %.3f\n", describe_generator(type),
                        p.name, 100.0 * share, view->cleverness());
            EXPECT_LE(share, p.max_share) << describe_generator(type) << " on " << p.name;
            EXPECT_GT(view->cleverness(), p.min_cleverness)
                << describe_generator(type) << " on " << p.name;
        }
    }
}

// Inside the set every pixel has one value: contour tracing iterates only the
// border (on one lane, where it looks no pixel ahead), box matching on 3x3
// only the centre is filled.
TEST(InferringStrategies, SingleValueViewsCostOnlyTheirBorder) {
    const SimdLevel level = active_simd_level();
    set_simd_level(SimdLevel::scalar);
    auto view = make_view(50, 40, -0.1, 0.0, 0.05, 100);
    ContourTracingGenerator contour(*view);
    contour.set_preview(false);
    complete(contour);
    EXPECT_EQ(view->computed_count(), 2u * (50 + 40) - 4);
    EXPECT_EQ(values_of(*view), std::vector<int>(50 * 40, 0));

    auto small = make_view(3, 3, -0.1, 0.0, 0.05, 100);
    BoxedGenerator boxes(*small);
    boxes.set_preview(false);
    complete(boxes);
    EXPECT_EQ(GeneratorProbe::filled_count(boxes), 1u);
    EXPECT_EQ(small->computed_count(), 8u);
    EXPECT_EQ(values_of(*small), std::vector<int>(9, 0));
    set_simd_level(level);
}

// On wide lanes too, contour tracing iterates little more than the border of
// a single-value view: the walk's lookahead lists the pixels the walk goes on
// to, not tiles reaching into the region that the fill gives. Box matching
// iterates the same pixels on every level.
TEST(InferringStrategies, WideLanesIterateNoMoreThanTheBorder) {
    const SimdLevel before = active_simd_level();
    for (int i = 0; i <= static_cast<int>(best_simd_level()); ++i) {
        const auto level = static_cast<SimdLevel>(i);
        set_simd_level(level);
        auto view = make_view(150, 110, -0.2, 0.0, 0.05, 100000);
        ContourTracingGenerator contour(*view);
        contour.set_preview(false);
        complete(contour);
        EXPECT_EQ(values_of(*view), std::vector<int>(150 * 110, 0));
        // The border, and at most the tile around the first seed.
        EXPECT_LE(view->computed_count(), 2u * (150 + 110) - 4 + 12 * 12 / 4)
            << simd_level_name(level);

        auto boxed_view = make_view(150, 110, -0.2, 0.0, 0.05, 100000);
        BoxedGenerator boxes(*boxed_view);
        boxes.set_preview(false);
        complete(boxes);
        EXPECT_EQ(boxed_view->computed_count(), 2u * (150 + 110) - 4) << simd_level_name(level);
    }
    set_simd_level(before);
}

// Where borders wind, contour tracing on wide lanes iterates little more than
// on one lane: what it lists ahead of the walk spares the inside of the
// regions it meets, which their fills give without iterating.
TEST(InferringStrategies, WideLanesIterateLittleMoreOnWindingBorders) {
    const SimdLevel before = active_simd_level();
    uint32_t one_lane = 0;
    for (int i = 0; i <= static_cast<int>(best_simd_level()); ++i) {
        const auto level = static_cast<SimdLevel>(i);
        set_simd_level(level);
        auto view = make_view(200, 200, -0.743643887037151, 0.131825904205330, 1e-10, 5000);
        ContourTracingGenerator contour(*view);
        contour.set_preview(false);
        complete(contour);
        if (level == SimdLevel::scalar) one_lane = view->computed_count();
        // Tiles around the walk took 13 % more here.
        EXPECT_LE(view->computed_count(), one_lane * 1.08) << simd_level_name(level);
    }
    set_simd_level(before);
}

// Every strategy gives the same image at every SIMD level, also when its
// kernels pause every few steps and resume in the next call; pixels iterated
// ahead are counted, never more than once. (Without the preview: how far it
// gets before the strategy starts depends on where slices end.)
TEST(AllStrategies, SameImageAtEveryLevelAndWithPausedKernels) {
    const SimdLevel before = active_simd_level();
    for (const ViewParams& p : kViews) {
        for (int type : {0, 1, 2}) {
            std::vector<int> first;
            for (int i = 0; i <= static_cast<int>(best_simd_level()); ++i) {
                const auto level = static_cast<SimdLevel>(i);
                set_simd_level(level);
                for (uint64_t steps : {UINT64_MAX, uint64_t{300}}) {
                    auto view = make_view(150, 110, p.cx, p.cy, p.radius, p.limit);
                    auto g = make_generator(type, *view);
                    g->set_preview(false);
                    GeneratorProbe::set_kernel_steps(*g, steps);
                    complete(*g);
                    const std::vector<int> values = values_of(*view);
                    if (first.empty()) first = values;
                    EXPECT_EQ(values, first)
                        << describe_generator(type) << " on " << p.name << " at "
                        << simd_level_name(level) << (steps == 300 ? ", paused" : "");
                    EXPECT_LE(view->computed_count(), 150u * 110);
                }
            }
        }
    }
    set_simd_level(before);
}

TEST(ContourTracing, InterruptedWalksResumeToTheSameResult) {
    for (const ViewParams& p : kViews) {
        auto whole_view = make_view(120, 90, p.cx, p.cy, p.radius, p.limit);
        ContourTracingGenerator whole(*whole_view);
        complete(whole);
        auto view = make_view(120, 90, p.cx, p.cy, p.radius, p.limit);
        ContourTracingGenerator g(*view);
        GeneratorProbe::set_legs_per_call(g, 3);
        int interrupted = 0;
        while (g.refine(0.25f)) interrupted += GeneratorProbe::tracing(g);
        if (p.max_share > 0) {
            EXPECT_GT(interrupted, 10) << p.name;  // inside the set there is no walk
        }
        EXPECT_EQ(values_of(*view), values_of(*whole_view)) << p.name;
        EXPECT_EQ(view->computed_count(), whole_view->computed_count()) << p.name;
    }
}

// A walk over pixels that come ready at once still ends with its slice: here
// the first walk goes round the whole border of a single-valued view, which
// one slice of a tenth of a millisecond must not finish.
TEST(ContourTracing, WalksOfCheapPixelsStopWithTheSlice) {
    auto view = make_view(4000, 4000, 3.0, 3.0, 0.1, 100);
    ContourTracingGenerator g(*view);
    g.set_preview(false);
    ASSERT_TRUE(g.refine(1e-4f));
    EXPECT_TRUE(GeneratorProbe::tracing(g));
    EXPECT_LT(view->computed_count(), 4000u);
    complete(g);
    EXPECT_EQ(view->computed_count(), 4u * 4000 - 4);
}

// On wide lanes contour tracing lists nothing where a fill has given the
// pixels, and so keeps a mark for each: once done, every pixel is iterated or
// marked filled, and marks stay within the fills.
TEST(ContourTracing, FilledPixelsAreMarkedOnWideLanes) {
    const SimdLevel before = active_simd_level();
    for (int i = 1; i <= static_cast<int>(best_simd_level()); ++i) {
        const auto level = static_cast<SimdLevel>(i);
        set_simd_level(level);
        for (const ViewParams& p : kViews) {
            auto view = make_view(150, 110, p.cx, p.cy, p.radius, p.limit);
            ContourTracingGenerator g(*view);
            g.set_preview(false);
            complete(g);
            const BitSet& filled = GeneratorProbe::filled(g);
            ASSERT_FALSE(filled.empty());
            size_t marked = 0;
            for (int32_t y = 0; y < 110; ++y)
                for (int32_t x = 0; x < 150; ++x) {
                    const size_t k = static_cast<size_t>(y) * 150 + x;
                    marked += filled.test(k);
                    if (!view->image()->is_computed(x, y)) {
                        ASSERT_TRUE(filled.test(k)) << p.name << " " << x << "," << y;
                    }
                }
            // Inside the set one region fills each row from its left border
            // pixel up to its right one.
            if (p.max_share == 0) {
                EXPECT_EQ(marked, 150u * 110 - 110) << p.name;
            }
        }
    }
    set_simd_level(before);
}

// Views with a side of at most 2 get no preview box; all are computed fully.
TEST(AllStrategies, ComputeThinViewsFully) {
    for (int type : {0, 1, 2}) {
        for (auto [w, h] : {std::pair{1, 37}, {53, 1}, {1, 1}, {2, 9}, {50, 2}, {0, 0}}) {
            auto view = make_view(w, h, -0.75, 0.05, 0.3, 200);
            auto g = make_generator(type, *view);
            EXPECT_TRUE(GeneratorProbe::preview_queue(*g).empty());
            complete(*g);
            EXPECT_EQ(values_of(*view), reference_of(*view))
                << describe_generator(type) << " " << w << "x" << h;
            EXPECT_EQ(view->computed_count(), uint32_t(w * h));  // every pixel iterated once
        }
    }
}

TEST(Preview, SplitsRootAtMiddleRowFirstHalfFirst) {
    auto view = make_view(100, 100, -0.5, 0.0, 1.5, 100);
    DumbGenerator g(*view);
    g.preview_cell = 12;
    g.reset_preview();
    view->prepare(true);
    GeneratorProbe::preview_box(g, 12);
    const auto& queue = GeneratorProbe::preview_queue(g);
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ((std::vector<int>{queue[0].x0, queue[0].y0, queue[0].x1, queue[0].y1,  //
                                queue[1].x0, queue[1].y0, queue[1].x1, queue[1].y1}),
              (std::vector<int>{0, 0, 98, 49, 0, 49, 98, 98}));
}

}  // namespace
}  // namespace quorvel
