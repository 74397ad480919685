// Handles, places, the view history and the first pictures, through the public
// header only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>

#include "public_test_util.h"

using namespace qvtest;

namespace {

int back_to_start(qv_handle h) {
    int backs = 0;
    while (qv_history_back(h)) ++backs;
    return backs;
}

}  // namespace

TEST(Context, UnknownHandlesAndNullPointersGetNeutralResults) {
    ContextGuard fresh;  // made first so that no new context reuses the dead address
    Location home;
    qv_store_location_to(fresh, &home);
    qv_handle dead = qv_create_context(8), copy = dead;
    qv_delete_context(&dead);
    EXPECT_EQ(dead, nullptr);
    qv_delete_context(&dead);  // null variable or pointer: nothing happens
    qv_delete_context(nullptr);
    for (qv_handle h : {copy, static_cast<qv_handle>(nullptr)}) {
        EXPECT_FALSE(qv_refine_image(h) || qv_refine_history(h) || qv_toggle_preview(h));
        EXPECT_EQ(qv_set_generator_type(h, 1) + qv_change_generator_type(h), 0);
        EXPECT_EQ(qv_adjust_maximum_iterations(h, 2.0f) + qv_get_maximum_iterations(h), 0u);
        EXPECT_TRUE(qv_get_rgb_image(h) == nullptr && qv_get_image_width(h) == 0);
        EXPECT_FALSE(qv_history_back(h) || qv_history_forward(h));
        EXPECT_FALSE(qv_save_all(h, "/tmp/never-written.q") || qv_load(h, "/tmp/never-written.q"));
        qv_zoom_centered(h, 2.0f);
        qv_move(h, 0.5f, 0.5f);
        qv_reset_context(h);
        // Places and texts describe the default view.
        Location place;
        std::memset(&place, 0xAB, sizeof place);
        qv_store_location_to(h, &place);
        EXPECT_EQ(std::memcmp(&place, &home, sizeof place), 0);
        char tx[63] = "junk", ty[63] = "junk";
        double r = 0;
        qv_get_view_params_as_text(h, tx, ty, &r);
        EXPECT_TRUE(std::strcmp(tx, "0") == 0 && std::strcmp(ty, "0") == 0 && r == 2.0);
    }
    qv_handle same = copy;
    qv_delete_context(&same);
    EXPECT_EQ(same, copy);  // unknown: the variable keeps its value
    ContextGuard b(4), c(4);
    qv_handle a = qv_create_context(4);
    qv_set_image_properties(b, 50, 40, 1, 1.0f);
    qv_delete_context(&a);  // the others stay
    EXPECT_TRUE(qv_get_image_width(b) == 50 && qv_get_image_width(c) == 100);

    qv_store_location_to(fresh, nullptr);  // null pointers are ignored
    qv_restore_location_from(fresh, nullptr);
    qv_set_palette(fresh, nullptr);
    qv_set_view_params_from_text(fresh, nullptr, "0", 1.0);
    qv_get_view_params_as_doubles(fresh, nullptr, nullptr, nullptr);
    qv_get_view_params_as_text(fresh, nullptr, nullptr, nullptr);
    EXPECT_FALSE(qv_load(fresh, nullptr) || qv_save_all(fresh, nullptr) ||
                 qv_save_minimum(fresh, nullptr));
    EXPECT_FALSE(qv_history_back(fresh));  // no entry was added by the ignored calls
    int type = -1;
    for (const char* text :
         {"unknown!?", "contour tracing", "box matching", "brute force", "unknown!?"})
        EXPECT_STREQ(qv_describe_generator(type++), text);
}

TEST(Context, LocationTravelsBetweenContextsBitForBit) {
    ContextGuard from, to;
    qv_set_view_params_from_text(from, "-B.E5F7DE5E5C58A7E9CE1x-4", "+8.6FC2A40D1F3D4A2Bx-6",
                                 3.0517578125e-05);
    qv_adjust_maximum_iterations(from, 2.0f);
    Location sent, received;
    qv_store_location_to(from, &sent);
    qv_restore_location_from(to, &sent);
    qv_store_location_to(to, &received);
    EXPECT_EQ(std::memcmp(&sent, &received, sizeof sent), 0);  // limit 300 included
    EXPECT_EQ(back_to_start(to), 1);                           // the restore added one entry
}

namespace {

// A stored BigFloat from its eight words.
void put_words(uint8_t out[32], std::initializer_list<uint32_t> words) {
    std::memset(out, 0, 32);
    int i = 0;
    for (uint32_t w : words) {
        for (int k = 0; k < 4; ++k) out[4 * i + k] = uint8_t(w >> (8 * k));
        ++i;
    }
}

}  // namespace

// A record that holds no view shows the home view, as a radius of 2 or more
// does, with the record's limit; any other is taken after normalising its words.
TEST(Context, PlaceRecordsAreCheckedBeforeUse) {
    struct Case {
        const char* what;
        std::initializer_list<uint32_t> x, y, radius;
        double want_x, want_y, want_radius;
    };
    const uint32_t top = 0x80000000u, minus_one = 0xFFFFFFFFu;
    const Case cases[] = {
        {"radius -1, centre -1-1i",
         {0, 0, 0, 0, 0, top, 0, 1},
         {0, 0, 0, 0, 0, top, 0, 1},
         {0, 0, 0, 0, 0, top, 0, 1},
         0,
         0,
         2},
        {"radius 0", {}, {}, {}, 0, 0, 2},
        {"radius 2^5000", {}, {}, {0, 0, 0, 0, 0, top, 5000, 0}, 0, 0, 2},
        // A radius below the double range is a deep place, kept as such.
        {"radius 2^-1030", {}, {}, {0, 0, 0, 0, 0, top, uint32_t(-1030), 0}, 0, 0, 0x1p-1030},
        {"centre x 2^1024",
         {0, 0, 0, 0, 0, top, 1024, 0},
         {},
         {0, 0, 0, 0, 0, top, uint32_t(-4), 0},
         0,
         0,
         2},
        {"centre y -2^-1023",
         {},
         {0, 0, 0, 0, 0, top, uint32_t(-1023), 1},
         {0, 0, 0, 0, 0, top, uint32_t(-4), 0},
         0,
         0,
         2},
        {"random words",
         {minus_one, 7, 9, 0x1234, 0, 0x5000, 0x7FFFFFF0, 3},
         {1, 2, 3, 4, 5, 6, 0x80000000, 9},
         {9, 8, 7, 6, 5, 4, 3, 2},
         0,
         0,
         2},
        {"radius 4", {}, {}, {0, 0, 0, 0, 0, top, 2, 0}, 0, 0, 2},
        // Words that only need normalising: 0.5 with its top bit one place
        // down, a sign word of 2 meaning negative.
        {"unnormalised",
         {0, 0, 0, 0, 0, top >> 1, 0, 2},
         {0, 0, 0, 0, 0, top, uint32_t(-2), 0},
         {0, 0, 0, 0, top, 0, 28, 0},
         -0.5,
         0.25,
         0.0625},
    };
    for (const Case& c : cases) {
        ContextGuard h;
        qv_zoom_centered(h, 4.0f);
        Location place;
        put_words(place.centre_x, c.x);
        put_words(place.centre_y, c.y);
        put_words(place.radius, c.radius);
        place.max_iterations = 4294967295u;
        qv_restore_location_from(h, &place);
        double x, y, radius;
        qv_get_view_params_as_doubles(h, &x, &y, &radius);
        EXPECT_TRUE(x == c.want_x && y == c.want_y && radius == c.want_radius)
            << c.what << ": " << x << " " << y << " " << radius;
        EXPECT_EQ(qv_get_maximum_iterations(h), 4294967295u) << c.what;
        EXPECT_EQ(back_to_start(h), 2) << c.what;
    }
}

TEST(History, KeepsAtMost256ViewsAndANewViewDiscardsTheForwardOnes) {
    ContextGuard h, g;
    for (int i = 0; i < 300; ++i) qv_zoom_centered(h, 1.01f);
    EXPECT_EQ(back_to_start(h), 255);
    qv_zoom_centered(g, 2.0f);
    qv_zoom_centered(g, 2.0f);
    ASSERT_TRUE(qv_history_back(g));
    qv_move(g, 0.25f, 0.0f);
    EXPECT_FALSE(qv_history_forward(g));
    EXPECT_EQ(back_to_start(g), 2);
}

TEST(History, EveryMoveAndZoomAddsAnEntryWhateverItsSize) {
    ContextGuard h;
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    qv_move(h, 0.001f, -0.001f);  // truncates to no pixel at all
    EXPECT_EQ(qv_get_progress(h), 0.0f);
    qv_move(h, 0.5f, 0.0f);
    EXPECT_EQ(qv_get_progress(h), -1.0f);
    for (float factor : {0.0f, -1.0f, nan}) qv_zoom_centered(h, factor);  // no entry
    for (auto [dx, dy] : {std::pair{1e30f, -1e30f}, {inf, 0.0f}, {nan, 0.0f}, {-inf, inf}})
        qv_move(h, dx, dy);
    qv_zoom_on_window_coord(h, std::numeric_limits<int>::max(), std::numeric_limits<int>::min(),
                            2.0f);
    qv_set_image_properties(h, 16, 16, 1, 1.0f);
    refine_to_end(h);  // whatever the view, it can be computed
    EXPECT_EQ(back_to_start(h), 7);
}

// The view setters ignore a radius that is not a positive normal double and a
// centre that is not finite or is too far out (views no history file could
// hold), take 2 or more as the home view, and read
// text centres whose exponents are beyond the double's range without wrapping.
TEST(History, ViewSettersTakeOnlyRadiiAFileCanHold) {
    const double inf = std::numeric_limits<double>::infinity();
    const double bad[] = {std::nan(""), -1.0, 0.0, -0.0, 0x1p-1030, 4.9e-324, inf, -inf};
    qvtest::TempDir dir;
    for (bool text : {false, true}) {
        for (double radius : bad) {
            ContextGuard h;
            qv_set_view_params_from_doubles(h, 0.25, -0.5, 0.125);
            if (text)
                qv_set_view_params_from_text(h, "+8.0x-1", "0", radius);
            else
                qv_set_view_params_from_doubles(h, 0.5, 0.0, radius);
            double x, y, r;
            qv_get_view_params_as_doubles(h, &x, &y, &r);
            EXPECT_TRUE(x == 0.25 && y == -0.5 && r == 0.125) << text << " " << radius;
            ASSERT_TRUE(qv_save_minimum(h, (dir / "h.q").c_str()));
            ContextGuard g;
            EXPECT_TRUE(qv_load(g, (dir / "h.q").c_str())) << text << " " << radius;
            EXPECT_EQ(back_to_start(h), 1) << text << " " << radius;
        }
    }
    // Centres likewise: not finite, or 2^64 and beyond, where the loader
    // would refuse the whole file.
    const double far[] = {std::nan(""), inf, -inf, 1e300, -0x1p64};
    const char* const far_text[] = {"nan", "1e400", "+8.0x+2000000000", "-1e30"};
    for (size_t k = 0; k < std::size(far) + std::size(far_text); ++k) {
        ContextGuard h;
        qv_set_view_params_from_doubles(h, 0.25, -0.5, 0.125);
        if (k < std::size(far))
            qv_set_view_params_from_doubles(h, 0.0, far[k], 0.5);
        else
            qv_set_view_params_from_text(h, far_text[k - std::size(far)], "0", 0.5);
        EXPECT_EQ(back_to_start(h), 1) << k;
        ASSERT_TRUE(qv_save_minimum(h, (dir / "h.q").c_str()));
        ContextGuard g;
        EXPECT_TRUE(qv_load(g, (dir / "h.q").c_str())) << k;
    }
    ContextGuard h;
    qv_set_view_params_from_doubles(h, -0x1p63, 0x1p63, 0.5);  // far, but held
    ASSERT_TRUE(qv_save_minimum(h, (dir / "h.q").c_str()));
    ContextGuard g;
    EXPECT_TRUE(qv_load(g, (dir / "h.q").c_str()));
    qv_set_view_params_from_doubles(h, 0.25, -0.5, 2.5);
    qv_set_view_params_from_text(h, "+8.0x-2000000000", "-8.0x-1030", 0x1p-1022);
    double x, y, r;
    qv_get_view_params_as_doubles(h, &x, &y, &r);
    EXPECT_TRUE(x == 0.0 && y == -0x1p-1030 && r == 0x1p-1022) << x << " " << y << " " << r;
    ASSERT_TRUE(qv_history_back(h));
    qv_get_view_params_as_doubles(h, &x, &y, &r);
    EXPECT_TRUE(x == 0.0 && y == 0.0 && r == 2.0);
}

// Window pixel (15, 10) of a 60x40 home view has its top-left corner at
// -1 + 2/3 i, whatever grid lies behind each window pixel.
TEST(History, WindowZoomHitsTheClickedPointAtEverySupersampling) {
    for (int supersampling : {1, 2, 3, 8}) {
        ContextGuard h;
        qv_set_image_properties(h, 60, 40, supersampling, -1.0f);
        qv_zoom_on_window_coord(h, 15, 10, 2.0f);
        double x, y, radius;
        qv_get_view_params_as_doubles(h, &x, &y, &radius);
        EXPECT_NEAR(x, -1.0, 1e-12) << supersampling;
        EXPECT_NEAR(y, 2.0 / 3.0, 1e-12) << supersampling;
        EXPECT_EQ(radius, 1.0) << supersampling;
    }
}

TEST(History, ImagePropertiesAndIterationLimitRules) {
    ContextGuard h;
    set_value_palette(h);
    qv_set_image_properties(h, 600, 600, -1, -1.0f);
    qv_set_image_properties(h, 0, -5, 9, 0.0f);  // all out of range: unchanged
    EXPECT_EQ(qv_get_image_width(h), 600);
    qv_set_image_properties(h, 4096, 4095, 8, -1.0f);  // grids above 32767 a side are refused
    EXPECT_TRUE(qv_get_image_width(h) == 600 && qv_get_image_height(h) == 4095);
    qv_set_image_properties(h, 40, 30, 1, -1.0f);
    refine_to_end(h);
    const auto values = read_values(h);
    qv_set_image_properties(h, 40, 30, -1, 1.5f);  // same size: pixels kept
    EXPECT_FALSE(qv_refine_image(h));
    EXPECT_EQ(read_values(h), values);
    qv_set_image_properties(h, 40, 30, 2, -1.0f);  // supersampling recomputes
    EXPECT_TRUE(qv_refine_image(h));

    EXPECT_EQ(qv_adjust_maximum_iterations(h, 2.0f), 300u);
    for (float factor : {0.001f, 0.0f, std::numeric_limits<float>::infinity(), std::nanf("")})
        EXPECT_EQ(qv_adjust_maximum_iterations(h, factor), 2u) << factor;
    for (unsigned i = 0, previous = 2, now; i < 40; ++i, previous = now)
        ASSERT_GE(now = qv_adjust_maximum_iterations(h, 2.0f), previous);  // never wraps
    EXPECT_EQ(qv_get_maximum_iterations(h), 4294967295u);
    EXPECT_FALSE(qv_history_back(h));  // no entry added
}

// 64x64 at centre -0.5, radius 1.5: the steps (3/64) and every coordinate are
// exact in binary, so an independent double loop sees the same points, also
// after a move by 16 pixels.
TEST(Picture, StrategiesAndMovesAgreeWithAnIndependentLoop) {
    ContextGuard h;
    const auto brute = render(h, 64, -0.5, 0.0, 1.5, 2);
    for (int generator : {0, 1}) {
        ContextGuard g;
        const auto values = render(g, 64, -0.5, 0.0, 1.5, generator);
        size_t differ = 0;
        for (size_t i = 0; i < values.size(); ++i) differ += values[i] != brute[i];
        std::printf("%s differs from brute force in %zu of 4096 pixels\n",
                    qv_describe_generator(generator), differ);
        EXPECT_LT(differ, 80u);
    }
    qv_move(h, 16.0f / 64, 0.0f);
    refine_to_end(h);
    EXPECT_FLOAT_EQ(qv_get_cleverness(h), 1.0f - 16.0f / 64);  // only entering columns iterated
    const auto moved = read_values(h);
    for (int i = 0; i < 64 * 64; ++i) {
        const double x = -2.0 + i % 64 * 3.0 / 64, y = 1.5 - i / 64 * 3.0 / 64;
        ASSERT_EQ(brute[i], reference_value(x, y, 150)) << "pixel " << i % 64 << "," << i / 64;
        ASSERT_EQ(moved[i], reference_value(x + 0.75, y, 150))
            << "moved " << i % 64 << "," << i / 64;
    }
}

TEST(Picture, RefinementIsTrueUntilTheSliceThatFindsNothing) {
    ContextGuard h;
    qv_set_image_properties(h, 120, 90, 1, 1.75f);
    EXPECT_GE(refine_to_end(h), 1);
    const float clever = qv_get_cleverness(h), progress = qv_get_progress(h),
                time = qv_get_time_spent(h);
    EXPECT_TRUE(clever > 0.0f && clever < 1.0f && progress > 0.0f && time > 0.0f);
    EXPECT_FALSE(qv_refine_image(h));  // and nothing changes
    EXPECT_TRUE(qv_get_cleverness(h) == clever && qv_get_progress(h) == progress &&
                qv_get_time_spent(h) == time);
    EXPECT_FALSE(qv_refine_history(h));  // a single entry has no background work
}
