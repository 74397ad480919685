#include "view/fractal.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

namespace quorvel {
namespace {

bool same(const BigFloat& a, const BigFloat& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

uint32_t expected_value(uint32_t n, uint32_t limit) { return n == limit ? 0 : ((n - 1) % 255) + 1; }

// Computes every pixel of the view through the pixel query.
void complete(Fractal& f) {
    f.prepare(true);
    for (int32_t y = 0; y < f.height(); ++y)
        for (int32_t x = 0; x < f.width(); ++x) f.pixel_value(x, y);
}

// A view whose single pixel lies exactly at c.
Fractal single_pixel_at(double cx, double cy, uint32_t limit) {
    FractalRecord r;
    r.centre_x = r.origin_x = BigFloat(cx);
    r.centre_y = r.origin_y = BigFloat(cy);
    r.step_x = 1e-3;
    r.step_y = -1e-3;
    r.radius = 1e-3;
    r.width = r.height = 1;
    r.max_iterations = limit;
    r.computed_count = 0;
    Fractal f(r, nullptr);
    f.prepare(true);
    return f;
}

TEST(FractalGeometry, DefaultSquareView) {
    Fractal f(100, 100);
    FractalRecord r = f.record();
    EXPECT_EQ(r.origin_x.to_double(), -2.0);
    EXPECT_EQ(r.origin_y.to_double(), 2.0);
    EXPECT_NEAR(r.step_x, 0.04, 1e-15);
    EXPECT_NEAR(r.step_y, -0.04, 1e-15);
    EXPECT_EQ(r.radius, 2.0);
    EXPECT_EQ(f.max_iterations(), 150u);
    EXPECT_FALSE(f.has_tables());
    EXPECT_EQ(f.image(), nullptr);
    EXPECT_EQ(f.memory_size(), 200u);

    f.prepare(false);
    EXPECT_TRUE(f.has_tables());
    EXPECT_EQ(f.image(), nullptr);
    EXPECT_FALSE(f.uses_big_float());
    EXPECT_NEAR(f.column_coordinate(50).to_double(), 0.0, 1e-15);
    EXPECT_NEAR(f.row_coordinate(50).to_double(), 0.0, 1e-15);
    EXPECT_EQ(f.memory_size(), 200u + 40u * 100 + 40u * 100);

    f.prepare(true);
    ASSERT_NE(f.image(), nullptr);
    EXPECT_EQ(f.memory_size(), 200u + f.image()->memory_size() + 40u * 100 + 40u * 100);
    f.discard_image();
    EXPECT_TRUE(f.has_tables());
    EXPECT_EQ(f.memory_size(), 200u + 40u * 100 + 40u * 100);
    f.prepare(true);
    f.release_data();
    EXPECT_FALSE(f.has_tables());
    EXPECT_EQ(f.image(), nullptr);
    EXPECT_EQ(f.memory_size(), 200u);
}

TEST(FractalGeometry, LandscapeAndPortraitExtents) {
    Fractal land(200, 100);
    land.prepare(false);
    FractalRecord l = land.record();
    EXPECT_NEAR(land.column_coordinate(0).to_double(), -2.0, 1e-15);
    EXPECT_NEAR(land.column_coordinate(199).to_double() + l.step_x, 2.0, 1e-14);
    EXPECT_NEAR(land.row_coordinate(0).to_double(), 1.0, 1e-15);
    EXPECT_NEAR(land.row_coordinate(99).to_double() + l.step_y, -1.0, 1e-14);
    EXPECT_NEAR(l.step_x, -l.step_y, 1e-16);

    Fractal port(100, 200);
    port.prepare(false);
    FractalRecord p = port.record();
    EXPECT_NEAR(port.column_coordinate(0).to_double(), -1.0, 1e-15);
    EXPECT_NEAR(port.column_coordinate(99).to_double() + p.step_x, 1.0, 1e-14);
    EXPECT_NEAR(port.row_coordinate(0).to_double(), 2.0, 1e-15);
    EXPECT_NEAR(port.row_coordinate(199).to_double() + p.step_y, -2.0, 1e-14);
}

TEST(FractalGeometry, OnePixelView) {
    Fractal f(1, 1);
    f.set_view(BigFloat(-0.5), BigFloat(0.25), 0.125);
    f.prepare(true);
    EXPECT_FALSE(f.uses_big_float());
    EXPECT_EQ(f.column_coordinate(0).to_double(), -0.625);
    EXPECT_EQ(f.row_coordinate(0).to_double(), 0.375);
}

TEST(FractalGeometry, EmptyAndResizedViews) {
    Fractal empty(0, 5);
    EXPECT_EQ(empty.width(), 0);
    EXPECT_EQ(empty.height(), 0);
    EXPECT_EQ(empty.cleverness(), 0.0);
    EXPECT_EQ(empty.memory_size(), 200u);

    Fractal f(10, 10);
    complete(f);
    f.set_size(-1, 20);
    f.set_size(10, 10);
    EXPECT_NE(f.image(), nullptr);  // ignored: no change
    EXPECT_EQ(f.computed_count(), 100u);
    f.set_size(20, 10);
    EXPECT_EQ(f.image(), nullptr);
    EXPECT_FALSE(f.has_tables());
    EXPECT_EQ(f.computed_count(), 0u);
    EXPECT_EQ(f.cleverness(), 1.0);
}

TEST(FractalGeometry, SetViewRadiusTwoMeansHome) {
    Fractal f(50, 50);
    f.set_view(BigFloat(-0.75), BigFloat(0.1), 2.0);
    EXPECT_TRUE(f.centre_x().is_zero());
    EXPECT_TRUE(f.centre_y().is_zero());
    EXPECT_EQ(f.radius(), 2.0);

    f.set_view(BigFloat(-0.75), BigFloat(0.1), 1.999);
    EXPECT_EQ(f.centre_x().to_double(), -0.75);
    EXPECT_EQ(f.centre_y().to_double(), 0.1);
    EXPECT_EQ(f.radius(), 1.999);

    f.set_view(BigFloat(-0.5), BigFloat(0.0), std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(f.centre_x().to_double(), -0.5);
    EXPECT_TRUE(std::isnan(f.radius()));
}

TEST(FractalGeometry, DeepRadiusSwitchesToBigFloat) {
    const BigFloat cx(-0.743643887037151), cy(0.131825904205330);
    Fractal f(64, 64);
    f.set_view(cx, cy, 1e-10);
    f.prepare(true);
    EXPECT_FALSE(f.uses_big_float());
    f.set_view(cx, cy, 1e-16);
    f.prepare(true);
    EXPECT_TRUE(f.uses_big_float());
    // Neighbouring columns are still distinct in BigFloat.
    EXPECT_FALSE(same(f.column_coordinate(10), f.column_coordinate(11)));
    uint32_t v = f.pixel_value(3, 7);
    EXPECT_EQ(f.computed_count(), 1u);
    EXPECT_EQ(f.pixel_value(3, 7), v);
    EXPECT_EQ(f.computed_count(), 1u);
}

TEST(FractalPixels, QueryMatchesKernelOverGrid) {
    Fractal f(40, 30);
    f.set_view(BigFloat(-0.6), BigFloat(0.2), 1.3);
    f.set_max_iterations(300);
    f.prepare(true);
    for (int32_t y = 0; y < 30; ++y)
        for (int32_t x = 0; x < 40; ++x) {
            uint32_t n = iterate_double(300, f.column_coordinate(x).to_double(),
                                        f.row_coordinate(y).to_double());
            ASSERT_EQ(f.pixel_value(x, y), expected_value(n, 300)) << x << "," << y;
            EXPECT_TRUE(f.image()->is_computed(x, y));
        }
    EXPECT_EQ(f.computed_count(), 1200u);
    EXPECT_DOUBLE_EQ(f.cleverness(), 0.0);
    complete(f);
    EXPECT_EQ(f.computed_count(), 1200u);  // already computed: not iterated again

    for (auto [x, y] : {std::pair{-1, 0}, {40, 0}, {0, -1}, {0, 30}, {INT32_MIN, INT32_MAX}})
        EXPECT_EQ(f.pixel_value(x, y), 0xFFFFFFFFu);
    EXPECT_EQ(f.computed_count(), 1200u);
}

TEST(FractalPixels, ValueBytes) {
    EXPECT_EQ(single_pixel_at(2.0, 0.0, 150).pixel_value(0, 0), 1u);
    EXPECT_EQ(single_pixel_at(0.0, 0.0, 150).pixel_value(0, 0), 0u);
    EXPECT_EQ(single_pixel_at(0.5, 0.0, 150).pixel_value(0, 0), 5u);

    // Points just right of the cusp escape slowly; find ones escaping after
    // exactly 255 and 256 iterations.
    double c255 = 0, c256 = 0;
    for (double c = 0.2501; c < 0.252 && (c255 == 0 || c256 == 0); c += 1e-7) {
        uint32_t n = iterate_double(1000, c, 0.0);
        if (n == 255 && c255 == 0) c255 = c;
        if (n == 256 && c256 == 0) c256 = c;
    }
    ASSERT_NE(c255, 0.0);
    ASSERT_NE(c256, 0.0);
    EXPECT_EQ(single_pixel_at(c255, 0.0, 1000).pixel_value(0, 0), 255u);
    EXPECT_EQ(single_pixel_at(c256, 0.0, 1000).pixel_value(0, 0), 1u);
    EXPECT_EQ(single_pixel_at(c256, 0.0, 256).pixel_value(0, 0), 0u);
    EXPECT_EQ(single_pixel_at(c256, 0.0, 257).pixel_value(0, 0), 1u);
}

TEST(FractalPixels, IterationLimitChanges) {
    Fractal f(48, 40);
    f.set_view(BigFloat(-0.5), BigFloat(0.0), 1.5);
    complete(f);
    const MaskedImage before = *f.image();
    uint32_t zeros = 0;
    for (int32_t y = 0; y < 40; ++y)
        for (int32_t x = 0; x < 48; ++x) zeros += before.values()[y * 48 + x] == 0;
    ASSERT_GT(zeros, 0u);
    ASSERT_LT(zeros, 48u * 40);

    // Growing: escaped pixels keep value and bit, the others are recomputed.
    f.set_max_iterations(300);
    EXPECT_EQ(f.max_iterations(), 300u);
    EXPECT_EQ(f.computed_count(), 0u);
    for (int32_t y = 0; y < 40; ++y)
        for (int32_t x = 0; x < 48; ++x)
            EXPECT_EQ(f.image()->is_computed(x, y), before.values()[y * 48 + x] != 0);
    complete(f);
    EXPECT_EQ(f.computed_count(), zeros);

    // The same limit recomputes everything, and so does a smaller one.
    f.set_max_iterations(300);
    complete(f);
    EXPECT_EQ(f.computed_count(), 48u * 40);
    f.set_max_iterations(100);
    complete(f);
    EXPECT_EQ(f.computed_count(), 48u * 40);

    f.set_max_iterations(1);
    EXPECT_EQ(f.max_iterations(), 2u);
    f.set_max_iterations(0);
    EXPECT_EQ(f.max_iterations(), 2u);

    // A packed image is unpacked first.
    complete(f);
    f.image()->pack();
    f.set_max_iterations(50);
    EXPECT_FALSE(f.image()->is_packed());
}

TEST(FractalCopy, DeepAndIndependent) {
    Fractal a(32, 24);
    a.set_view(BigFloat(-1.0), BigFloat(0.25), 0.5);
    complete(a);
    Fractal b(a);
    ASSERT_NE(b.image(), a.image());
    EXPECT_EQ(b.computed_count(), a.computed_count());
    EXPECT_TRUE(b.has_tables());
    EXPECT_TRUE(same(b.column_coordinate(5), a.column_coordinate(5)));

    const uint8_t v = a.image()->values()[0];
    a.image()->values()[0] = uint8_t(v + 1);
    a.set_view(BigFloat(0.3), BigFloat(0.0), 0.1);
    EXPECT_EQ(b.image()->values()[0], v);
    EXPECT_EQ(b.centre_x().to_double(), -1.0);
    EXPECT_EQ(b.radius(), 0.5);
    complete(b);
    EXPECT_EQ(b.computed_count(), 32u * 24);

    b.image()->pack();
    Fractal c(b);
    EXPECT_TRUE(c.image()->is_packed());
}

TEST(FractalRecordTest, RebuildsFromStoredFields) {
    Fractal a(30, 20);
    a.set_view(BigFloat(-0.7), BigFloat(0.3), 0.4);
    complete(a);
    a.image()->pack();
    FractalRecord r = a.record();
    EXPECT_EQ(r.width, 30);
    EXPECT_EQ(r.computed_count, 600u);

    Fractal b(r, std::make_unique<MaskedImage>(*a.image()));
    EXPECT_TRUE(b.has_tables());
    EXPECT_TRUE(b.image()->is_packed());  // prepare(false) leaves the image alone
    EXPECT_DOUBLE_EQ(b.cleverness(), 0.0);
    EXPECT_TRUE(same(b.column_coordinate(17), a.column_coordinate(17)));
    EXPECT_TRUE(same(b.row_coordinate(13), a.row_coordinate(13)));
    b.prepare(true);
    a.prepare(true);
    for (int32_t y = 0; y < 20; ++y)
        for (int32_t x = 0; x < 30; ++x) ASSERT_EQ(b.pixel_value(x, y), a.pixel_value(x, y));
    EXPECT_EQ(b.computed_count(), 600u);

    Fractal none(r, nullptr);
    EXPECT_EQ(none.image(), nullptr);

    // An image of another size cannot belong to the view.
    Fractal mismatched(r, std::make_unique<MaskedImage>(31, 20));
    EXPECT_EQ(mismatched.image(), nullptr);
    EXPECT_EQ(mismatched.computed_count(), 0u);
}

}  // namespace
}  // namespace quorvel
