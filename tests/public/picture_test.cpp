// The first picture end to end: strategies against an independent escape-time
// loop, and the rules of the refinement driver.
#include <gtest/gtest.h>

#include <cstdio>

#include "public_test_util.h"

using namespace qvtest;

namespace {

// 64x64 at centre -0.5, radius 1.5: the steps (3/64) and every coordinate are
// exact in binary, so an independent double loop sees the same points.
constexpr int kSide = 64;
constexpr double kStep = 3.0 / kSide;

std::vector<uint8_t> render(int generator, double cx, double cy, double radius,
                            float depth = 2.0f) {
    ContextGuard h;
    set_value_palette(h);
    qv_set_image_properties(h, kSide, kSide, 1, 1.75f);
    qv_set_view_params_from_doubles(h, cx, cy, radius);
    qv_adjust_maximum_iterations(h, depth);
    EXPECT_EQ(qv_set_generator_type(h, generator), generator);
    refine_to_end(h);
    return read_values(h);
}

double differing_share(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t differ = 0;
    for (size_t i = 0; i < a.size(); ++i) differ += a[i] != b[i];
    return double(differ) / a.size();
}

}  // namespace

TEST(Picture, BruteForceEqualsAnIndependentLoop) {
    const auto values = render(2, -0.5, 0.0, 1.5);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            ASSERT_EQ(values[y * kSide + x],
                      reference_value(-2.0 + x * kStep, 1.5 - y * kStep, 300))
                << "pixel " << x << "," << y;
}

TEST(Picture, InferringStrategiesAgreeWithBruteForce) {
    const auto brute = render(2, -0.5, 0.0, 1.5);
    const double contour = differing_share(render(0, -0.5, 0.0, 1.5), brute);
    const double boxes = differing_share(render(1, -0.5, 0.0, 1.5), brute);
    std::printf("differing from brute force: contour tracing %.3f%%, box matching %.3f%%\n",
                100 * contour, 100 * boxes);
    EXPECT_LT(contour, 0.02);
    EXPECT_LT(boxes, 0.02);
}

TEST(Picture, ViewInsideTheSetIsExactAndCheap) {
    for (int generator : {0, 1}) {
        ContextGuard h;
        set_value_palette(h);
        qv_set_image_properties(h, kSide, kSide, 1, 1.75f);
        qv_set_view_params_from_doubles(h, -0.1, 0.0, 0.05);
        qv_set_generator_type(h, generator);
        refine_to_end(h);
        for (uint8_t v : read_values(h)) ASSERT_EQ(v, 0);
        EXPECT_GT(qv_get_cleverness(h), 0.8f) << qv_describe_generator(generator);
    }
}

TEST(Refinement, TrueUntilTheSliceThatFindsNothingThenFalse) {
    ContextGuard h;
    qv_set_image_properties(h, 120, 90, 1, 1.75f);
    int slices = 0;
    while (qv_refine_image(h)) {
        ++slices;
        const float progress = qv_get_progress(h);
        EXPECT_GE(progress, 0.0f);
        EXPECT_LE(progress, 1.0f);
    }
    EXPECT_GE(slices, 1);
    const float clever = qv_get_cleverness(h), progress = qv_get_progress(h),
                time = qv_get_time_spent(h);
    EXPECT_GT(clever, 0.0f);
    EXPECT_LT(clever, 1.0f);
    EXPECT_GT(time, 0.0f);
    EXPECT_FALSE(qv_refine_image(h));
    EXPECT_EQ(qv_get_cleverness(h), clever);
    EXPECT_EQ(qv_get_progress(h), progress);
    EXPECT_EQ(qv_get_time_spent(h), time);
    EXPECT_FALSE(qv_refine_history(h));  // a single entry has no background work
}

TEST(Refinement, TypeChangeKeepsComputedPixels) {
    ContextGuard h;
    set_value_palette(h);
    qv_set_image_properties(h, kSide, kSide, 1, 1.75f);
    qv_set_generator_type(h, 2);
    refine_to_end(h);
    const auto before = read_values(h);
    const float clever = qv_get_cleverness(h);
    EXPECT_EQ(qv_set_generator_type(h, 2), 2);  // same type: still finished
    EXPECT_FALSE(qv_refine_image(h));
    EXPECT_EQ(qv_set_generator_type(h, 7), 0);  // out of range means contour tracing
    EXPECT_TRUE(qv_refine_image(h));
    refine_to_end(h);
    EXPECT_LT(differing_share(read_values(h), before), 0.02);
    EXPECT_EQ(qv_get_cleverness(h), clever);  // no pixel was iterated again
}

TEST(Refinement, SupersampledPictureHasTheOutputSize) {
    ContextGuard h;
    set_value_palette(h);
    qv_set_image_properties(h, 30, 20, 3, 1.75f);
    refine_to_end(h);
    EXPECT_EQ(qv_get_image_width(h), 30);
    EXPECT_EQ(qv_get_image_height(h), 20);
    EXPECT_NE(qv_get_rgb_image(h), nullptr);
}
