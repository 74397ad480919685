// Handles, neutral results and the default state, through the public header.
#include <gtest/gtest.h>

#include <cstring>

#include "public_test_util.h"

using qvtest::ContextGuard;

TEST(Context, FreshContextReportsDefaults) {
    ContextGuard h;
    ASSERT_NE(h.handle, nullptr);
    EXPECT_EQ(qv_get_image_width(h), 100);
    EXPECT_EQ(qv_get_image_height(h), 100);
    EXPECT_EQ(qv_get_progress(h), 0.0f);
    EXPECT_EQ(qv_get_cleverness(h), 0.0f);
    EXPECT_EQ(qv_get_time_spent(h), 0.0f);
    EXPECT_EQ(qv_get_maximum_iterations(h), 150u);
    double x = 1, y = 1, r = 0;
    qv_get_view_params_as_doubles(h, &x, &y, &r);
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 0.0);
    EXPECT_EQ(r, 2.0);
    EXPECT_EQ(qv_change_generator_type(h), 1);
    EXPECT_EQ(qv_change_generator_type(h), 2);
    EXPECT_EQ(qv_change_generator_type(h), 0);
    EXPECT_FALSE(qv_toggle_preview(h));
    EXPECT_TRUE(qv_toggle_preview(h));
}

TEST(Context, UnknownAndNullHandlesGetNeutralResults) {
    qv_handle dead = qv_create_context(8);
    qv_handle copy = dead;
    qv_delete_context(&dead);
    EXPECT_EQ(dead, nullptr);
    qv_delete_context(&dead);  // null variable: nothing happens
    for (qv_handle h : {copy, static_cast<qv_handle>(nullptr)}) {
        EXPECT_FALSE(qv_refine_image(h));
        EXPECT_FALSE(qv_refine_history(h));
        EXPECT_EQ(qv_set_generator_type(h, 1), 0);
        EXPECT_EQ(qv_change_generator_type(h), 0);
        EXPECT_FALSE(qv_toggle_preview(h));
        EXPECT_EQ(qv_adjust_maximum_iterations(h, 2.0f), 0u);
        EXPECT_EQ(qv_get_maximum_iterations(h), 0u);
        EXPECT_EQ(qv_get_rgb_image(h), nullptr);
        EXPECT_EQ(qv_get_image_width(h), 0);
        EXPECT_FALSE(qv_history_back(h));
        EXPECT_FALSE(qv_history_forward(h));
        EXPECT_FALSE(qv_save_all(h, "/tmp/never-written.q"));
        EXPECT_FALSE(qv_load(h, "/tmp/never-written.q"));
        qv_zoom_centered(h, 2.0f);
        qv_move(h, 0.5f, 0.5f);
        qv_reset_context(h);

        Location place;
        std::memset(&place, 0xAB, sizeof place);
        qv_store_location_to(h, &place);
        EXPECT_EQ(place.max_iterations, 150u);
        char tx[63] = "junk", ty[63] = "junk";
        double r = 0;
        qv_get_view_params_as_text(h, tx, ty, &r);
        EXPECT_STREQ(tx, "0");
        EXPECT_STREQ(ty, "0");
        EXPECT_EQ(r, 2.0);
        double x = 1, y = 1;
        qv_get_view_params_as_doubles(h, &x, &y, &r);
        EXPECT_EQ(x, 0.0);
        EXPECT_EQ(y, 0.0);
        EXPECT_EQ(r, 2.0);
    }
    qv_handle same = copy;
    qv_delete_context(&same);
    EXPECT_EQ(same, copy);  // unknown: the variable keeps its value
}

TEST(Context, NullPointersAreIgnored) {
    ContextGuard h;
    qv_store_location_to(h, nullptr);
    qv_restore_location_from(h, nullptr);
    qv_set_palette(h, nullptr);
    qv_set_view_params_from_text(h, nullptr, "0", 1.0);
    qv_get_view_params_as_doubles(h, nullptr, nullptr, nullptr);
    qv_get_view_params_as_text(h, nullptr, nullptr, nullptr);
    EXPECT_FALSE(qv_load(h, nullptr));
    EXPECT_FALSE(qv_save_all(h, nullptr));
    EXPECT_FALSE(qv_save_minimum(h, nullptr));
    qv_delete_context(nullptr);
    EXPECT_FALSE(qv_history_back(h));  // no entry was added by the ignored calls
}

TEST(Context, DeletingOneOfThreeKeepsTheOthers) {
    qv_handle a = qv_create_context(4), b = qv_create_context(4), c = qv_create_context(4);
    qv_set_image_properties(b, 50, 40, 1, 1.0f);
    qv_delete_context(&a);
    EXPECT_EQ(qv_get_image_width(b), 50);
    EXPECT_EQ(qv_get_image_width(c), 100);
    qv_zoom_centered(c, 2.0f);
    EXPECT_TRUE(qv_history_back(c));
    qv_delete_context(&b);
    qv_delete_context(&c);
}

TEST(Context, DescribesGenerators) {
    EXPECT_STREQ(qv_describe_generator(0), "contour tracing");
    EXPECT_STREQ(qv_describe_generator(1), "box matching");
    EXPECT_STREQ(qv_describe_generator(2), "brute force");
    EXPECT_STREQ(qv_describe_generator(3), "unknown!?");
    EXPECT_STREQ(qv_describe_generator(-1), "unknown!?");
}

TEST(Context, LocationTravelsBetweenContexts) {
    ContextGuard from, to;
    qv_set_view_params_from_text(from, "-B.E5F7DE5E5C58A7E9CE1x-4", "+8.6FC2A40D1F3D4A2Bx-6",
                                 3.0517578125e-05);
    qv_adjust_maximum_iterations(from, 2.0f);
    Location place;
    qv_store_location_to(from, &place);
    qv_restore_location_from(to, &place);
    char fx[63], fy[63], tx[63], ty[63];
    double fr = 0, tr = 0;
    qv_get_view_params_as_text(from, fx, fy, &fr);
    qv_get_view_params_as_text(to, tx, ty, &tr);
    EXPECT_STREQ(fx, tx);
    EXPECT_STREQ(fy, ty);
    EXPECT_EQ(fr, tr);
    EXPECT_EQ(qv_get_maximum_iterations(to), 300u);
    EXPECT_TRUE(qv_history_back(to));  // the restore added one entry
    EXPECT_FALSE(qv_history_back(to));
}

TEST(Context, ResetReturnsToTheStartView) {
    ContextGuard h;
    qv_set_image_properties(h, 64, 48, 2, 1.0f);
    qv_zoom_centered(h, 4.0f);
    qv_reset_context(h);
    EXPECT_EQ(qv_get_image_width(h), 100);
    EXPECT_EQ(qv_get_image_height(h), 100);
    EXPECT_FALSE(qv_history_back(h));
    double x, y, r;
    qv_get_view_params_as_doubles(h, &x, &y, &r);
    EXPECT_EQ(r, 2.0);
}
