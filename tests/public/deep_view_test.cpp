// Views of any depth through the public header: the exact text of a view
// round-trips, zooming and moving keep the centre exactly, refused texts add
// no history entry, deep views survive a history file, and a view far below
// the old 192-bit end still shows detail.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "public_test_util.h"
#include "support/view_strings.h"

namespace {

using namespace qvtest;

ViewStrings strings_of(qv_handle h) { return view_strings(h); }

// Beside the Misiurewicz point c = i, detail at every depth for a few
// thousand iterations.
constexpr const char* kMisiurewiczX =
    "0.0000000000000000000000000000000000000000000000000000000001";
constexpr const char* kMisiurewiczY = "1";

TEST(DeepView, StringsRoundTripAtAnyDepth) {
    ContextGuard h;
    const char* long_x =
        "-1.76861049301467707450317565327022653174461478662786941469387613458713657134879"
        "0123456789012345678901234567890123456789";
    for (const char* radius : {"1e-60", "2e-1086", "3.5e-5000", "+8.0x-20000"}) {
        ASSERT_EQ(qv_set_view_from_strings(h, long_x, "0.0000312", radius), 1) << radius;
        const ViewStrings s = strings_of(h);
        ASSERT_EQ(qv_set_view_from_strings(h, s.x.c_str(), s.y.c_str(), s.radius.c_str()), 1);
        EXPECT_EQ(strings_of(h), s) << radius;
    }
    // A decimal centre keeps its digits: it differs from its 192-bit rounding.
    char x192[64], y192[64];
    double r = 0.0;
    qv_get_view_params_as_text(h, x192, y192, &r);
    EXPECT_NE(strings_of(h).x, x192);
    EXPECT_EQ(r, 0.0);  // below the double range
}

TEST(DeepView, CapacityAndUnknownHandles) {
    ContextGuard h;
    ASSERT_EQ(qv_set_view_from_strings(h, "0.25", "-0.5", "1e-3000"), 1);
    const size_t need = qv_get_view_strings(h, nullptr, nullptr, nullptr, 0);
    ASSERT_GT(need, 1u);
    std::string x(need - 1, '#'), y(need - 1, '#'), r(need - 1, '#');
    EXPECT_EQ(qv_get_view_strings(h, x.data(), y.data(), r.data(), need - 1), need);
    EXPECT_EQ(x, std::string(need - 1, '#'));  // too small: nothing written
    qv_handle none = nullptr;
    const size_t home = qv_get_view_strings(none, nullptr, nullptr, nullptr, 0);
    std::string hx(home, '\0'), hy(home, '\0'), hr(home, '\0');
    qv_get_view_strings(none, hx.data(), hy.data(), hr.data(), home);
    qv_set_view_params_from_doubles(h, 0.0, 0.0, 2.0);
    EXPECT_EQ(strings_of(h), (ViewStrings{hx.c_str(), hy.c_str(), hr.c_str()}));
}

TEST(DeepView, RefusedTextChangesNothing) {
    ContextGuard h;
    ASSERT_EQ(qv_set_view_from_strings(h, "0.25", "-0.5", "1e-100"), 1);
    const ViewStrings before = strings_of(h);
    const int length = history_length(h);
    const char* bad[][3] = {{"x", "0", "1"},
                            {"0", "", "1"},
                            {"0", "0", "0"},
                            {"0", "0", "-1e-9"},
                            {"0", "0", "nan"},
                            {"0", "0", "1e-9z"},
                            {"1e999999", "0", "1e-10"},
                            {"0", "0", "1e-99999999999"},
                            {"0", "1", "1e-400000"}};
    for (const auto& t : bad) {
        EXPECT_EQ(qv_set_view_from_strings(h, t[0], t[1], t[2]), 0) << t[0] << " " << t[2];
        EXPECT_EQ(strings_of(h), before);
        EXPECT_EQ(history_length(h), length);
    }
    EXPECT_EQ(qv_set_view_from_strings(h, nullptr, "0", "1"), 0);
    // The deepest a view may be: about 1e-315652.
    EXPECT_EQ(qv_set_view_from_strings(h, "0", "1", "1e-315000"), 1);
    // A radius of 2 or more is the home view.
    ASSERT_EQ(qv_set_view_from_strings(h, "0.3", "0.1", "5"), 1);
    EXPECT_EQ(strings_of(h), strings_of(h));
    double x = 1, y = 1, r = 0;
    qv_get_view_params_as_doubles(h, &x, &y, &r);
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(r, 2.0);
}

TEST(DeepView, ZoomingAndMovingKeepTheCentreExactly) {
    ContextGuard h;
    qv_set_image_properties(h, 64, 48, 1, 1.75f);
    ASSERT_EQ(qv_set_view_from_strings(h, kMisiurewiczX, kMisiurewiczY, "1e-20"), 1);
    const ViewStrings start = strings_of(h);
    // Down past the old end of 192 bits and back up by the same factors.
    for (int i = 0; i < 120; ++i) qv_zoom_centered(h, 1e6f);
    const ViewStrings deep = strings_of(h);
    EXPECT_EQ(deep.x, start.x);
    EXPECT_EQ(deep.y, start.y);
    EXPECT_NE(deep.radius, start.radius);
    // Moving by whole pictures and back returns to the same place.
    qv_move(h, 0.5f, -0.25f);
    EXPECT_NE(strings_of(h).x, deep.x);
    qv_move(h, -0.5f, 0.25f);
    EXPECT_EQ(strings_of(h), deep);
    // The middle pixel of an even grid is the centre: zooming on it keeps it.
    qv_zoom_on_window_coord(h, 32, 24, 4.0f);
    EXPECT_EQ(strings_of(h).x, deep.x);
    EXPECT_EQ(strings_of(h).y, deep.y);
    qv_history_back(h);
    EXPECT_EQ(strings_of(h), deep);
    for (int i = 0; i < 120; ++i) qv_zoom_centered(h, 1e-6f);
    EXPECT_EQ(strings_of(h).x, start.x);
    EXPECT_EQ(strings_of(h).y, start.y);
}

TEST(DeepView, HistoryFilesKeepDeepViews) {
    ContextGuard h;
    qv_set_image_properties(h, 24, 16, 1, 1.75f);
    ASSERT_EQ(qv_set_view_from_strings(h, kMisiurewiczX, kMisiurewiczY, "1e-400"), 1);
    qv_adjust_maximum_iterations(h, 2000.0f / 150.0f);
    refine_to_end(h);
    const ViewStrings deep = strings_of(h);
    const std::vector<uint8_t> pixels = read_values(h);
    qv_zoom_centered(h, 1e30f);
    const std::string path = testing::TempDir() + "deep_view_history.qvh";
    for (bool full : {false, true}) {
        ASSERT_TRUE(full ? qv_save_all(h, path.c_str()) : qv_save_minimum(h, path.c_str()));
        ContextGuard g;
        set_value_palette(g);
        ASSERT_TRUE(qv_load(g, path.c_str()));
        ASSERT_TRUE(qv_history_back(g));
        EXPECT_EQ(strings_of(g), deep);
        if (full) {
            EXPECT_EQ(read_values(g), pixels);
        }
    }
    std::remove(path.c_str());
}

// A file of deep views (tests/data/history_deep.qvh: a view at 2e-300 with a
// 70-digit centre, and one at 1e-1000 with its pixels) loads, shows its exact
// views, and is written again byte for byte.
TEST(DeepView, TheDeepGoldenFileLoadsAndIsWrittenAlike) {
    const std::string golden = std::string(QV_TEST_DATA_DIR) + "/history_deep.qvh";
    ContextGuard h(32);
    ASSERT_TRUE(qv_load(h, golden.c_str()));
    const ViewStrings first = strings_of(h);
    EXPECT_EQ(first.y.rfind("+8.2DCBEB257D68", 0), 0u) << first.y;
    EXPECT_GT(first.x.size(), 60u);  // the 70 decimal digits, exactly
    ASSERT_TRUE(qv_history_forward(h));
    EXPECT_EQ(strings_of(h).x, "+0.0x+0");
    EXPECT_EQ(strings_of(h).y, "+8.0x+0");
    EXPECT_FALSE(qv_refine_image(h));  // finished, its pixels loaded
    qv_history_back(h);
    const std::string again = testing::TempDir() + "deep_again.qvh";
    ASSERT_TRUE(qv_save_all(h, again.c_str()));
    auto bytes = [](const std::string& path) {
        std::string s;
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            char buffer[4096];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) s.append(buffer, n);
            std::fclose(f);
        }
        return s;
    };
    EXPECT_EQ(bytes(again), bytes(golden));
    std::remove(again.c_str());
}

TEST(DeepView, FarBelowTheOldEndThereIsDetail) {
    ContextGuard h;
    set_value_palette(h);
    qv_set_image_properties(h, 32, 32, 1, 1.75f);
    qv_set_generator_type(h, 2);
    for (const char* radius : {"1e-60", "1e-320", "1e-1000"}) {
        ASSERT_EQ(qv_set_view_from_strings(h, "0", "1", radius), 1);
        qv_adjust_maximum_iterations(h, 8000.0f / static_cast<float>(qv_get_maximum_iterations(h)));
        refine_to_end(h);
        const std::vector<uint8_t> values = read_values(h);
        const std::set<uint8_t> distinct(values.begin(), values.end());
        EXPECT_GT(distinct.size(), 8u) << radius;
    }
}

}  // namespace
