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

namespace quorvel {

// Reaches the private queues and knobs of the generators.
struct GeneratorProbe {
    static std::deque<Box>& preview_queue(Generator& g) { return g.preview_queue_; }
    static void preview_box(Generator& g, int32_t step) {
        g.refine_preview_box(g.view_->image_for_use(), step);
    }
    static std::deque<Box>& box_queue(BoxedGenerator& g) { return g.box_queue_; }
    static uint32_t filled_count(const BoxedGenerator& g) { return g.filled_count_; }
    static void examine_box(BoxedGenerator& g) {
        Stopwatch watch;
        g.examine_box(g.view_->image_for_use(), watch, 1e9f);
    }
    static void set_legs_per_call(ContourTracingGenerator& g, uint32_t legs) {
        g.legs_per_call_ = legs;
    }
    static bool tracing(const ContourTracingGenerator& g) { return g.tracing_; }
};

namespace {

// A generator that only runs the shared preview pass.
class PreviewOnly final : public Generator {
public:
    using Generator::Generator;
    bool refine(float seconds) override {
        view_->prepare(true);
        return refine_preview(seconds);
    }
    void restart() override {
        ++restarts;
        reset_preview();
    }
    double fraction_done() const override { return 0.0; }
    int restarts = 0;
};

std::unique_ptr<Fractal> make_view(int32_t w, int32_t h, double cx, double cy, double radius,
                                   uint32_t limit) {
    auto view = std::make_unique<Fractal>(w, h);
    view->set_view(BigFloat(cx), BigFloat(cy), radius);
    view->set_max_iterations(limit);
    return view;
}

// Runs a generator to completion; returns the number of refine calls.
int complete(Generator& g, float seconds = 0.25f) {
    int calls = 0;
    while (g.refine(seconds)) {
        ++calls;
        if (calls > 100000) {
            ADD_FAILURE() << "generator does not finish";
            break;
        }
    }
    return calls;
}

std::vector<uint8_t> values_of(Fractal& view) {
    const MaskedImage& image = view.image_for_use();
    return std::vector<uint8_t>(image.values(),
                                image.values() + size_t(view.width()) * view.height());
}

// Straightforward escape time: z <- z^2 + c from 0 until |z|^2 >= 4.
uint8_t reference_value(double cx, double cy, uint32_t limit) {
    double zx = 0.0, zy = 0.0;
    for (uint32_t k = 1; k < limit; ++k) {
        const double nx = zx * zx - zy * zy + cx;
        const double ny = 2.0 * zx * zy + cy;
        zx = nx;
        zy = ny;
        if (zx * zx + zy * zy >= 4.0) return static_cast<uint8_t>((k - 1) % 255 + 1);
    }
    return 0;
}

std::vector<uint8_t> reference_of(Fractal& view) {
    view.prepare(true);
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < view.height(); ++y)
        for (int32_t x = 0; x < view.width(); ++x)
            out.push_back(reference_value(view.column_coordinate(x).to_double(),
                                          view.row_coordinate(y).to_double(),
                                          view.max_iterations()));
    return out;
}

size_t count_differences(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
    return n;
}

bool all_computed(Fractal& view) {
    const MaskedImage& image = view.image_for_use();
    for (int32_t y = 0; y < view.height(); ++y)
        for (int32_t x = 0; x < view.width(); ++x)
            if (!image.is_computed(x, y)) return false;
    return true;
}

struct ViewParams {
    const char* name;
    double cx, cy, radius;
    uint32_t limit;
};

constexpr ViewParams kBoundaryViews[] = {
    {"whole set", -0.5, 0.0, 1.5, 300},
    {"seahorse valley", -0.745, 0.1, 0.01, 600},
    {"spiral", -0.7436438870371, 0.1318259042053, 1e-6, 2000},
};

TEST(BruteForce, EqualsIndependentEscapeTime) {
    auto view = make_view(160, 120, -0.5, 0.0, 1.5, 300);
    DumbGenerator g(*view);
    g.preview_cell = 12;
    complete(g);
    EXPECT_EQ(values_of(*view), reference_of(*view));
    EXPECT_TRUE(all_computed(*view));
    EXPECT_EQ(view->cleverness(), 0.0);
    EXPECT_EQ(g.fraction_done(), 1.0);
}

TEST(BruteForce, CountsWholeRowsAndStopsWithoutPreviewWhenFinished) {
    auto view = make_view(40, 30, -0.5, 0.0, 1.5, 100);
    DumbGenerator g(*view);
    EXPECT_EQ(g.fraction_done(), 0.0);
    complete(g);
    EXPECT_EQ(g.fraction_done(), 1.0);
    // A pending preview does not run on a finished generator.
    g.reset_preview();
    EXPECT_FALSE(g.refine(0.25f));
    EXPECT_FALSE(g.preview_done());
}

TEST(BruteForce, SwitchingPreviewBackOnBeforeItIsDoneRestarts) {
    auto view = make_view(40, 30, -0.5, 0.0, 1.5, 100);
    DumbGenerator g(*view);
    g.set_preview(false);
    complete(g);
    EXPECT_EQ(g.fraction_done(), 1.0);
    g.set_preview(true);  // preview never ran, so the scan starts over
    EXPECT_EQ(g.fraction_done(), 0.0);
    EXPECT_TRUE(g.refine(0.25f));
    complete(g);
    EXPECT_TRUE(g.preview_done());
    g.set_preview(false);
    g.set_preview(true);  // after the preview is done only the flag changes
    EXPECT_EQ(g.fraction_done(), 1.0);
}

// The inferring strategies may only differ from brute force where thin
// structures escape their walks or boxes.
TEST(InferringStrategies, AgreeWithBruteForceOnBoundaryViews) {
    for (const ViewParams& p : kBoundaryViews) {
        auto brute_view = make_view(200, 150, p.cx, p.cy, p.radius, p.limit);
        DumbGenerator brute(*brute_view);
        complete(brute);
        const std::vector<uint8_t> expected = values_of(*brute_view);
        for (int type : {0, 1}) {
            auto view = make_view(200, 150, p.cx, p.cy, p.radius, p.limit);
            auto g = make_generator(type, *view);
            g->preview_cell = 12;
            g->reset_preview();
            complete(*g);
            const double share =
                double(count_differences(values_of(*view), expected)) / expected.size();
            std::printf("%-16s %-16s differing %.4f%%  cleverness %.3f\n", describe_generator(type),
                        p.name, 100.0 * share, view->cleverness());
            EXPECT_LT(share, 0.01) << describe_generator(type) << " on " << p.name;
            EXPECT_GT(view->cleverness(), 0.2) << describe_generator(type) << " on " << p.name;
        }
    }
}

TEST(InferringStrategies, ExactInsideTheSet) {
    for (int type : {0, 1}) {
        auto view = make_view(120, 100, -0.1, 0.0, 0.05, 200);
        auto g = make_generator(type, *view);
        complete(*g);
        EXPECT_EQ(values_of(*view), std::vector<uint8_t>(120 * 100, 0)) << describe_generator(type);
        EXPECT_GT(view->cleverness(), 0.9) << describe_generator(type);
    }
}

TEST(ContourTracing, SingleValueViewCostsOnlyItsBorder) {
    auto view = make_view(50, 40, -0.1, 0.0, 0.05, 100);
    ContourTracingGenerator g(*view);
    g.set_preview(false);
    complete(g);
    EXPECT_EQ(view->computed_count(), 2u * (50 + 40) - 4);
    EXPECT_EQ(values_of(*view), std::vector<uint8_t>(50 * 40, 0));
    EXPECT_DOUBLE_EQ(g.fraction_done(), 0.0);  // start_y never left row 0
}

TEST(ContourTracing, InterruptedWalksResumeToTheSameResult) {
    for (const ViewParams& p : kBoundaryViews) {
        auto whole_view = make_view(120, 90, p.cx, p.cy, p.radius, p.limit);
        ContourTracingGenerator whole(*whole_view);
        complete(whole);

        auto view = make_view(120, 90, p.cx, p.cy, p.radius, p.limit);
        ContourTracingGenerator g(*view);
        GeneratorProbe::set_legs_per_call(g, 3);
        int interrupted = 0;
        while (g.refine(0.25f)) interrupted += GeneratorProbe::tracing(g);
        EXPECT_GT(interrupted, 10) << p.name;
        EXPECT_EQ(values_of(*view), values_of(*whole_view)) << p.name;
        EXPECT_EQ(view->computed_count(), whole_view->computed_count()) << p.name;
        EXPECT_DOUBLE_EQ(g.fraction_done(), double(view->height() - 1) / view->height());
    }
}

TEST(ContourTracing, RestartDropsPendingWalkAndFindsComputedPixels) {
    auto view = make_view(120, 90, -0.5, 0.0, 1.5, 300);
    ContourTracingGenerator g(*view);
    GeneratorProbe::set_legs_per_call(g, 2);
    for (int i = 0; i < 50; ++i) g.refine(0.25f);
    g.restart();
    GeneratorProbe::set_legs_per_call(g, 0);
    complete(g);
    auto fresh_view = make_view(120, 90, -0.5, 0.0, 1.5, 300);
    ContourTracingGenerator fresh(*fresh_view);
    complete(fresh);
    EXPECT_EQ(count_differences(values_of(*view), values_of(*fresh_view)), 0u);
}

TEST(BoxMatching, UniformThreeByThreeFillsOnlyTheCentre) {
    auto view = make_view(3, 3, -0.1, 0.0, 0.05, 100);
    BoxedGenerator g(*view);
    g.set_preview(false);
    complete(g);
    EXPECT_EQ(GeneratorProbe::filled_count(g), 1u);
    EXPECT_EQ(view->computed_count(), 8u);
    EXPECT_FALSE(view->image_for_use().is_computed(1, 1));
    EXPECT_EQ(values_of(*view), std::vector<uint8_t>(9, 0));
}

TEST(BoxMatching, SplitsSquareByRowsLowerHalfFirst) {
    auto view = make_view(100, 100, -0.5, 0.0, 1.5, 100);
    BoxedGenerator g(*view);
    view->prepare(true);
    GeneratorProbe::examine_box(g);
    auto& queue = GeneratorProbe::box_queue(g);
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ((std::vector<int>{queue[0].x0, queue[0].y0, queue[0].x1, queue[0].y1}),
              (std::vector<int>{0, 49, 99, 99}));
    EXPECT_EQ((std::vector<int>{queue[1].x0, queue[1].y0, queue[1].x1, queue[1].y1}),
              (std::vector<int>{0, 0, 99, 49}));
    // The top row and the left column are computed in full even after a
    // mismatch.
    const MaskedImage& image = view->image_for_use();
    for (int32_t i = 0; i < 100; ++i) {
        EXPECT_TRUE(image.is_computed(i, 0));
        EXPECT_TRUE(image.is_computed(0, i));
    }
}

TEST(BoxMatching, ProgressIsIteratedPlusFilledShare) {
    auto view = make_view(64, 48, -0.1, 0.0, 0.05, 100);
    BoxedGenerator g(*view);
    g.set_preview(false);
    complete(g);
    EXPECT_EQ(GeneratorProbe::filled_count(g), 62u * 46u);
    EXPECT_DOUBLE_EQ(g.fraction_done(), 1.0);
}

TEST(AllStrategies, ComputeViewsOnePixelWideOrHigh) {
    for (int type : {0, 1, 2}) {
        for (auto [w, h] : {std::pair{1, 37}, std::pair{53, 1}, std::pair{1, 1}, std::pair{2, 9}}) {
            auto view = make_view(w, h, -0.75, 0.05, 0.3, 200);
            auto g = make_generator(type, *view);
            complete(*g);
            EXPECT_TRUE(all_computed(*view)) << describe_generator(type) << " " << w << "x" << h;
            EXPECT_EQ(values_of(*view), reference_of(*view))
                << describe_generator(type) << " " << w << "x" << h;
        }
    }
}

TEST(AllStrategies, EmptyViewHasNothingToDo) {
    for (int type : {0, 1, 2}) {
        Fractal view(0, 0);
        auto g = make_generator(type, view);
        int calls = complete(*g);
        EXPECT_LE(calls, 1) << describe_generator(type);
        EXPECT_FALSE(g->refine(0.25f));
    }
}

TEST(Preview, SmallViewsGetNoBoxButFinishOnce) {
    for (auto [w, h] : {std::pair{2, 2}, std::pair{2, 50}, std::pair{50, 2}, std::pair{1, 1}}) {
        auto view = make_view(w, h, -0.5, 0.0, 1.5, 100);
        PreviewOnly g(*view);
        EXPECT_TRUE(GeneratorProbe::preview_queue(g).empty());
        EXPECT_TRUE(g.refine(0.25f));
        EXPECT_TRUE(g.preview_done());
        EXPECT_FALSE(g.refine(0.25f));
        EXPECT_EQ(view->computed_count(), 0u);
    }
}

TEST(Preview, SplitsRootAtMiddleRowFirstHalfFirst) {
    auto view = make_view(100, 100, -0.5, 0.0, 1.5, 100);
    PreviewOnly g(*view);
    g.preview_cell = 12;
    g.reset_preview();
    auto& queue = GeneratorProbe::preview_queue(g);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].x1, 98);
    EXPECT_EQ(queue[0].y1, 98);
    view->prepare(true);
    GeneratorProbe::preview_box(g, 12);
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ((std::vector<int>{queue[0].x0, queue[0].y0, queue[0].x1, queue[0].y1}),
              (std::vector<int>{0, 0, 98, 49}));
    EXPECT_EQ((std::vector<int>{queue[1].x0, queue[1].y0, queue[1].x1, queue[1].y1}),
              (std::vector<int>{0, 49, 98, 98}));
    // Samples lie on the 12-pixel grid of the box edges; nothing else is
    // iterated, and the last column and row are never touched.
    const MaskedImage& image = view->image_for_use();
    for (int32_t y = 0; y < 100; ++y)
        for (int32_t x = 0; x < 100; ++x)
            if (image.is_computed(x, y)) {
                const bool on_edge_row = (y == 0 || y == 98) && x % 12 == 0;
                const bool on_edge_column = (x == 0 || x == 98) && y % 12 == 0;
                EXPECT_TRUE(on_edge_row || on_edge_column) << x << "," << y;
            }
}

TEST(Preview, BoxBelowStepIsFilledFromItsCorner) {
    auto view = make_view(10, 10, -0.5, 0.0, 1.5, 100);
    PreviewOnly g(*view);
    g.preview_cell = 12;
    g.reset_preview();
    EXPECT_TRUE(g.refine(0.25f));
    EXPECT_EQ(view->computed_count(), 1u);
    const std::vector<uint8_t> values = values_of(*view);
    for (int32_t y = 0; y <= 8; ++y)
        for (int32_t x = 0; x <= 8; ++x) EXPECT_EQ(values[y * 10 + x], values[0]);
}

TEST(Preview, OffAndOnAgainBeforeDoneRestarts) {
    auto view = make_view(100, 100, -0.5, 0.0, 1.5, 100);
    PreviewOnly g(*view);
    g.set_preview(false);
    EXPECT_FALSE(g.refine(0.25f));
    g.set_preview(true);
    EXPECT_EQ(g.restarts, 1);
    complete(g);
    g.set_preview(false);
    g.set_preview(true);
    EXPECT_EQ(g.restarts, 1);
}

TEST(Factory, TypesAndDescriptions) {
    Fractal view(10, 10);
    EXPECT_NE(dynamic_cast<BoxedGenerator*>(make_generator(1, view).get()), nullptr);
    EXPECT_NE(dynamic_cast<DumbGenerator*>(make_generator(2, view).get()), nullptr);
    for (int type : {0, 3, -1})
        EXPECT_NE(dynamic_cast<ContourTracingGenerator*>(make_generator(type, view).get()),
                  nullptr);
    EXPECT_STREQ(describe_generator(0), "contour tracing");
    EXPECT_STREQ(describe_generator(1), "box matching");
    EXPECT_STREQ(describe_generator(2), "brute force");
    EXPECT_STREQ(describe_generator(3), "unknown!?");
    EXPECT_STREQ(describe_generator(-1), "unknown!?");
}

}  // namespace
}  // namespace quorvel
