// The view history and in-place changes of the current view, through the
// public header.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "public_test_util.h"

using namespace qvtest;

TEST(History, KeepsAtMost256Views) {
    ContextGuard h;
    for (int i = 0; i < 300; ++i) qv_zoom_centered(h, 1.01f);
    int backs = 0;
    while (qv_history_back(h)) ++backs;
    EXPECT_EQ(backs, 255);
    int forwards = 0;
    while (qv_history_forward(h)) ++forwards;
    EXPECT_EQ(forwards, 255);
}

TEST(History, ANewViewDiscardsTheForwardHistory) {
    ContextGuard h;
    qv_zoom_centered(h, 2.0f);
    qv_zoom_centered(h, 2.0f);
    ASSERT_TRUE(qv_history_back(h));
    qv_move(h, 0.25f, 0.0f);
    EXPECT_FALSE(qv_history_forward(h));
    EXPECT_TRUE(qv_history_back(h));
    EXPECT_TRUE(qv_history_back(h));
    EXPECT_FALSE(qv_history_back(h));
}

TEST(History, MovesAndZoomsAlwaysAddAnEntry) {
    ContextGuard h;
    qv_move(h, 0.001f, -0.001f);  // truncates to no pixel at all
    EXPECT_EQ(qv_get_progress(h), 0.0f);
    qv_move(h, 0.5f, 0.0f);
    EXPECT_EQ(qv_get_progress(h), -1.0f);
    qv_zoom_on_window_coord(h, 10, 10, 0.0f);                      // factor 0 zooms by 1
    qv_zoom_on_window_coord(h, 10, 10, -3.0f);                     // likewise
    qv_zoom_centered(h, 0.0f);                                     // no entry
    qv_zoom_centered(h, -1.0f);                                    // no entry
    qv_zoom_centered(h, std::numeric_limits<float>::quiet_NaN());  // no entry
    int backs = 0;
    while (qv_history_back(h)) ++backs;
    EXPECT_EQ(backs, 4);
}

TEST(History, HugeMoveFractionsAreSafe) {
    ContextGuard h;
    const float inf = std::numeric_limits<float>::infinity();
    qv_move(h, 1e30f, -1e30f);
    qv_move(h, inf, 0.0f);
    qv_move(h, std::numeric_limits<float>::quiet_NaN(), 0.0f);
    qv_move(h, -inf, inf);
    qv_zoom_on_window_coord(h, std::numeric_limits<int>::max(), std::numeric_limits<int>::min(),
                            2.0f);
    qv_set_image_properties(h, 16, 16, 1, 1.0f);
    refine_to_end(h);  // whatever the view, it can be computed
    int backs = 0;
    while (qv_history_back(h)) ++backs;
    EXPECT_EQ(backs, 5);
}

TEST(History, ImagePropertiesRules) {
    ContextGuard h;
    set_value_palette(h);
    qv_set_image_properties(h, 600, 600, -1, -1.0f);
    EXPECT_EQ(qv_get_image_width(h), 600);
    EXPECT_EQ(qv_get_image_height(h), 600);
    qv_set_image_properties(h, 0, -5, 9, 0.0f);  // all out of range: unchanged
    EXPECT_EQ(qv_get_image_width(h), 600);
    // Grids above 32767 pixels a side keep the current values.
    qv_set_image_properties(h, 5000, 4000, 8, -1.0f);
    EXPECT_EQ(qv_get_image_width(h), 600);
    EXPECT_EQ(qv_get_image_height(h), 4000);
    qv_set_image_properties(h, 40, 30, 1, -1.0f);
    refine_to_end(h);
    const auto values = read_values(h);
    qv_set_image_properties(h, 40, 30, -1, 1.5f);  // same size: pixels kept
    EXPECT_FALSE(qv_refine_image(h));
    EXPECT_EQ(read_values(h), values);
    qv_set_image_properties(h, 40, 30, 2, -1.0f);  // supersampling recomputes
    EXPECT_TRUE(qv_refine_image(h));
}

TEST(History, IterationLimitAdjustsAndSaturates) {
    ContextGuard h;
    EXPECT_EQ(qv_adjust_maximum_iterations(h, 2.0f), 300u);
    EXPECT_EQ(qv_get_maximum_iterations(h), 300u);
    EXPECT_EQ(qv_adjust_maximum_iterations(h, 0.001f), 2u);
    EXPECT_EQ(qv_adjust_maximum_iterations(h, 0.0f), 2u);
    EXPECT_EQ(qv_adjust_maximum_iterations(h, std::numeric_limits<float>::infinity()), 2u);
    EXPECT_EQ(qv_adjust_maximum_iterations(h, std::numeric_limits<float>::quiet_NaN()), 2u);
    unsigned previous = 2;
    for (int i = 0; i < 40; ++i) {
        const unsigned now = qv_adjust_maximum_iterations(h, 2.0f);
        EXPECT_GE(now, previous);  // never wraps around to a small limit
        previous = now;
    }
    EXPECT_EQ(previous, 4294967295u);
    EXPECT_FALSE(qv_history_back(h));  // no entry added
}

TEST(History, ResetCurrentViewRecomputesInPlace) {
    ContextGuard h;
    qv_set_image_properties(h, 32, 32, 1, 1.0f);
    refine_to_end(h);
    qv_reset_current_view(h);
    EXPECT_EQ(qv_get_progress(h), 0.0f);
    EXPECT_TRUE(qv_refine_image(h));
    EXPECT_FALSE(qv_history_back(h));
}

TEST(History, AMoveKeepsThePixelsThatStayInView) {
    constexpr int kSide = 64;
    ContextGuard h;
    set_value_palette(h);
    qv_set_image_properties(h, kSide, kSide, 1, 1.75f);
    qv_set_view_params_from_doubles(h, -0.5, 0.0, 1.5);
    qv_set_generator_type(h, 2);
    refine_to_end(h);
    const auto before = read_values(h);

    qv_move(h, 16.0f / kSide, 0.0f);  // 16 pixels to the right
    refine_to_end(h);
    const auto after = read_values(h);
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x + 16 < kSide; ++x)
            ASSERT_EQ(after[y * kSide + x], before[y * kSide + x + 16]) << x << "," << y;
    // Only the 16 entering columns were iterated.
    EXPECT_FLOAT_EQ(qv_get_cleverness(h), 1.0f - 16.0f / kSide);

    // The entering columns equal a fresh render of the moved view.
    ContextGuard fresh;
    set_value_palette(fresh);
    qv_set_image_properties(fresh, kSide, kSide, 1, 1.75f);
    double cx, cy, r;
    qv_get_view_params_as_doubles(h, &cx, &cy, &r);
    EXPECT_EQ(cx, 0.25);
    qv_set_view_params_from_doubles(fresh, cx, cy, r);
    qv_set_generator_type(fresh, 2);
    refine_to_end(fresh);
    EXPECT_EQ(read_values(fresh), after);
}

TEST(History, BackgroundRefinementCompletesOtherViews) {
    ContextGuard h;
    qv_set_image_properties(h, 40, 40, 1, 1.0f);
    qv_zoom_centered(h, 2.0f);
    qv_zoom_centered(h, 2.0f);
    refine_to_end(h);
    int slices = 0;
    while (qv_refine_history(h)) ASSERT_LT(++slices, 1000);
    EXPECT_GT(slices, 0);
    ASSERT_TRUE(qv_history_back(h));
    EXPECT_FALSE(qv_refine_image(h));  // finished in the background
}
