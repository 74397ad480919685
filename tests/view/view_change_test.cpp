#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "view/fractal.h"

namespace quorvel {
namespace {

bool same(const BigFloat& a, const BigFloat& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void complete(Fractal& f) {
    f.prepare(true);
    for (int32_t y = 0; y < f.height(); ++y)
        for (int32_t x = 0; x < f.width(); ++x) f.pixel_value(x, y);
}

// Reads the stored bytes of every pixel without computing anything.
std::vector<uint8_t> stored_values(const Fractal& f) {
    const uint8_t* v = f.image()->values();
    return std::vector<uint8_t>(v, v + static_cast<size_t>(f.width()) * f.height());
}

TEST(FractalMove, ReusePathShiftsPixelsAndTables) {
    Fractal f(96, 96);
    f.set_view(BigFloat(-0.63), BigFloat(0.41), 0.37);
    complete(f);
    const std::vector<uint8_t> old = stored_values(f);
    std::vector<BigFloat> cols, rows;
    for (int32_t i = 0; i < 96; ++i) cols.push_back(f.column_coordinate(i));
    for (int32_t i = 0; i < 96; ++i) rows.push_back(f.row_coordinate(i));

    f.move(16, 4);
    ASSERT_NE(f.image(), nullptr);
    const uint8_t* v = f.image()->values();
    for (int32_t y = 0; y < 96; ++y)
        for (int32_t x = 0; x < 96; ++x) {
            const bool kept = y >= 4 && x < 80;
            ASSERT_EQ(f.image()->is_computed(x, y), kept) << x << "," << y;
            ASSERT_EQ(v[y * 96 + x], kept ? old[(y - 4) * 96 + x + 16] : 0) << x << "," << y;
        }
    // Kept coordinates are moved bit for bit.
    for (int32_t i = 0; i < 80; ++i) ASSERT_TRUE(same(f.column_coordinate(i), cols[i + 16]));
    for (int32_t i = 4; i < 96; ++i) ASSERT_TRUE(same(f.row_coordinate(i), rows[i - 4]));
    EXPECT_TRUE(same(f.centre_x(), cols[64]));
    EXPECT_TRUE(same(f.centre_y(), rows[44]));
    EXPECT_EQ(f.computed_count(), 0u);
    EXPECT_EQ(f.cleverness(), 1.0);
    EXPECT_EQ(f.radius(), 0.37);

    // Only the entering pixels are iterated.
    complete(f);
    EXPECT_EQ(f.computed_count(), 96u * 96 - 80u * 92);
}

TEST(FractalMove, SmallMovesRoundToWholeMaskBytes) {
    Fractal f(64, 48);
    f.set_view(BigFloat(-0.5), BigFloat(0.1), 0.8);
    complete(f);
    const BigFloat cx = f.centre_x(), cy = f.centre_y();
    const BigFloat col24 = f.column_coordinate(24);

    f.move(5, 0);  // rounds to 0: nothing at all changes
    EXPECT_TRUE(same(f.centre_x(), cx));
    EXPECT_TRUE(same(f.centre_y(), cy));
    EXPECT_EQ(f.computed_count(), 64u * 48);

    f.move(-3, 0);  // rounds to -8: the view looks 8 pixels further left
    EXPECT_TRUE(same(f.centre_x(), col24));
    EXPECT_TRUE(same(f.centre_y(), cy));
    for (int32_t y = 0; y < 48; ++y) {
        EXPECT_FALSE(f.image()->is_computed(7, y));
        EXPECT_TRUE(f.image()->is_computed(8, y));
    }
    EXPECT_NEAR(f.record().origin_x.to_double(),
                f.column_coordinate(8).to_double() - 8 * f.record().step_x, 1e-15);
}

TEST(FractalMove, OddWidthCentreIsColumnHalfWidth) {
    Fractal f(97, 51);
    f.set_view(BigFloat(-0.5), BigFloat(0.0), 1.0);
    complete(f);
    f.move(8, -2);
    EXPECT_TRUE(same(f.centre_x(), f.column_coordinate(48)));
    EXPECT_TRUE(same(f.centre_y(), f.row_coordinate(25)));
    const FractalRecord r = f.record();
    // Half a step left of the grid's middle.
    EXPECT_NEAR(f.centre_x().to_double(), r.origin_x.to_double() + 48.5 * r.step_x - 0.5 * r.step_x,
                1e-14);
}

TEST(FractalMove, FallbackPathSetsViewAnew) {
    Fractal f(96, 64);
    f.set_view(BigFloat(-0.5), BigFloat(0.2), 0.75);
    complete(f);
    const double step_x = f.record().step_x, step_y = f.record().step_y;
    f.move(96, 0);
    EXPECT_EQ(f.image(), nullptr);
    EXPECT_FALSE(f.has_tables());
    EXPECT_EQ(f.computed_count(), 0u);
    EXPECT_NEAR(f.centre_x().to_double(), -0.5 + 96 * step_x, 1e-15);
    EXPECT_NEAR(f.centre_y().to_double(), 0.2, 1e-15);
    EXPECT_EQ(f.radius(), 0.75);

    // 101 rounds to 96 horizontally; a vertical move of the height falls back too.
    Fractal g(96, 64);
    g.set_view(BigFloat(-0.5), BigFloat(0.2), 0.75);
    complete(g);
    g.move(0, 64);
    EXPECT_EQ(g.image(), nullptr);
    EXPECT_NEAR(g.centre_y().to_double(), 0.2 - 64 * step_y, 1e-15);

    // A view without data cannot reuse anything.
    Fractal h(96, 64);
    h.set_view(BigFloat(-0.5), BigFloat(0.2), 0.75);
    h.move(16, 0);
    EXPECT_NEAR(h.centre_x().to_double(), -0.5 + 16 * step_x, 1e-15);
}

TEST(FractalMove, HomeViewMoves) {
    Fractal bare(64, 64);
    bare.move(16, 8);  // fallback at radius 2 lands on home again
    EXPECT_TRUE(bare.centre_x().is_zero());
    EXPECT_TRUE(bare.centre_y().is_zero());

    Fractal f(64, 64);
    complete(f);
    f.move(16, 8);  // with data it pans normally
    EXPECT_NEAR(f.centre_x().to_double(), 16 * 4.0 / 64, 1e-15);
    EXPECT_NEAR(f.centre_y().to_double(), 8 * 4.0 / 64, 1e-15);
    EXPECT_EQ(f.radius(), 2.0);
}

TEST(FractalMove, ExtremeOffsetsFallBackWithoutOverflow) {
    for (auto [dx, dy] : {std::pair{INT32_MIN, 0},
                          {0, INT32_MIN},
                          {INT32_MAX, INT32_MAX},
                          {INT32_MIN, INT32_MIN},
                          {INT32_MAX - 3, INT32_MIN + 1}}) {
        Fractal f(64, 32);
        f.set_view(BigFloat(-0.5), BigFloat(0.0), 1e-3);
        complete(f);
        const double step_x = f.record().step_x, step_y = f.record().step_y;
        const double sx = std::floor(static_cast<double>(dx) / 8) * 8;
        const double sy = -static_cast<double>(dy);
        f.move(dx, dy);
        EXPECT_EQ(f.image(), nullptr);
        EXPECT_NEAR(f.centre_x().to_double(), -0.5 + sx * step_x,
                    1e-6 * std::fabs(sx * step_x) + 1e-12);
        EXPECT_NEAR(f.centre_y().to_double(), sy * step_y, 1e-6 * std::fabs(sy * step_y) + 1e-12);
    }
}

// Steps of 1/64 make every coordinate exact, so a moved view and a view placed
// at the moved origin must agree on every pixel.
TEST(FractalMove, KeptAndEnteringPixelsMatchFreshView) {
    for (auto [dx, dy] : {std::pair{16, 4}, {-24, -9}, {40, -30}, {-8, 17}}) {
        Fractal f(128, 96);
        f.set_view(BigFloat(-0.75), BigFloat(0.125), 1.0);
        f.set_max_iterations(400);
        complete(f);
        f.move(dx, dy);
        EXPECT_EQ(f.uses_big_float(), false);
        const std::vector<uint8_t> kept = stored_values(f);
        std::vector<bool> was_kept(128 * 96);
        for (int32_t y = 0; y < 96; ++y)
            for (int32_t x = 0; x < 128; ++x) was_kept[y * 128 + x] = f.image()->is_computed(x, y);
        complete(f);

        FractalRecord r = f.record();
        r.computed_count = 0;
        Fractal fresh(r, nullptr);
        fresh.prepare(true);
        uint32_t entering = 0;
        for (int32_t y = 0; y < 96; ++y)
            for (int32_t x = 0; x < 128; ++x) {
                ASSERT_TRUE(same(f.column_coordinate(x), fresh.column_coordinate(x)));
                ASSERT_TRUE(same(f.row_coordinate(y), fresh.row_coordinate(y)));
                const uint32_t want = fresh.pixel_value(x, y);
                ASSERT_EQ(f.pixel_value(x, y), want) << dx << "," << dy << " at " << x << "," << y;
                if (was_kept[y * 128 + x])
                    ASSERT_EQ(kept[y * 128 + x], want);
                else
                    ++entering;
            }
        EXPECT_EQ(f.computed_count(), entering);
        EXPECT_GT(f.cleverness(), 0.4);
    }
}

TEST(FractalMove, DeepMoveKeepsBigFloatArithmetic) {
    Fractal f(64, 64);
    f.set_view(BigFloat(-0.743643887037151), BigFloat(0.131825904205330), 1e-16);
    f.set_max_iterations(200);
    complete(f);
    ASSERT_TRUE(f.uses_big_float());
    const BigFloat col40 = f.column_coordinate(40);
    f.move(8, 0);
    EXPECT_TRUE(f.uses_big_float());
    EXPECT_TRUE(same(f.column_coordinate(32), col40));
    EXPECT_FALSE(same(f.column_coordinate(55), f.column_coordinate(56)));
    complete(f);
    EXPECT_EQ(f.computed_count(), 8u * 64);
}

TEST(FractalZoom, ZoomAtGridAndOutsidePoints) {
    Fractal f(100, 80);
    f.set_view(BigFloat(-0.5), BigFloat(0.0), 1.5);
    f.prepare(true);
    const BigFloat c30 = f.column_coordinate(30), r20 = f.row_coordinate(20);
    f.zoom_at(30, 20, 4.0f);
    EXPECT_TRUE(same(f.centre_x(), c30));
    EXPECT_TRUE(same(f.centre_y(), r20));
    EXPECT_EQ(f.radius(), 1.5 / 4.0);
    EXPECT_EQ(f.image(), nullptr);

    // Outside the grid the coordinate is extrapolated from the origin.
    const FractalRecord r = f.record();
    f.zoom_at(-10, 0, 2.0f);
    EXPECT_NEAR(f.centre_x().to_double(), r.origin_x.to_double() - 10 * r.step_x, 1e-15);
    EXPECT_LT(f.centre_x().to_double(), r.origin_x.to_double());
    EXPECT_TRUE(same(f.centre_y(), r.origin_y));
    EXPECT_EQ(f.radius(), 1.5 / 8.0);

    // Without tables the same extrapolation is used inside the grid.
    const FractalRecord r2 = f.record();
    f.zoom_at(10, 10, 1.0f);
    EXPECT_NEAR(f.centre_x().to_double(), r2.origin_x.to_double() + 10 * r2.step_x, 1e-15);
    EXPECT_NEAR(f.centre_y().to_double(), r2.origin_y.to_double() + 10 * r2.step_y, 1e-15);

    // Zooming out to a radius of 2 or more goes home.
    f.zoom_at(0, 0, 0.01f);
    EXPECT_TRUE(f.centre_x().is_zero());
    EXPECT_EQ(f.radius(), 2.0);
}

}  // namespace
}  // namespace quorvel
