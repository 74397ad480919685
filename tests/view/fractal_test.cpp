// One view: its grid, the pixel query, iteration limit changes, moves and
// zooms, checked against an independent escape-time loop and fresh views.
#include "view/fractal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "support/test_support.h"

namespace quorvel {
namespace {

bool same(const BigFloat& a, const BigFloat& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

uint8_t byte_of(uint32_t n, uint32_t limit) { return n == limit ? 0 : (n - 1) % 255 + 1; }

Fractal view_at(int32_t w, int32_t h, double cx, double cy, double radius, uint32_t limit = 150) {
    Fractal f(w, h);
    f.set_view(BigFloat(cx), BigFloat(cy), radius);
    f.set_max_iterations(limit);
    return f;
}

void complete(Fractal& f) {
    f.prepare(true);
    for (int32_t y = 0; y < f.height(); ++y)
        for (int32_t x = 0; x < f.width(); ++x) f.pixel_value(x, y);
}

TEST(FractalGeometry, GridsRadiusDepthAndDamagedRecords) {
    // The longer side spans the diameter.
    for (auto [w, h, left, top, step] : {std::tuple{100, 100, -2.0, 2.0, 0.04},
                                         {200, 100, -2.0, 1.0, 0.02},
                                         {100, 200, -1.0, 2.0, 0.02}}) {
        Fractal f(w, h);
        f.prepare(false);
        EXPECT_NEAR(f.column_coordinate(0).to_double(), left, 1e-15);
        EXPECT_NEAR(f.row_coordinate(0).to_double(), top, 1e-15);
        EXPECT_NEAR(f.record().step_x, step, 1e-16);
        EXPECT_NEAR(f.record().step_y, -step, 1e-16);
    }
    Fractal home(100, 100);
    FractalRecord r = home.record();
    home.set_view(BigFloat(-0.75), BigFloat(0.1), 2.0);  // radius 2 means home
    EXPECT_TRUE(home.centre_x().is_zero() && home.centre_y().is_zero());
    home.set_view(BigFloat(-0.75), BigFloat(0.1), 1.999);
    EXPECT_EQ(home.centre_x().to_double(), -0.75);
    EXPECT_EQ(home.radius(), 1.999);

    // A stored image of another size, or a negative size, never addresses memory.
    r.computed_count = 10;
    Fractal mismatched(r, std::make_unique<MaskedImage>(101, 100));
    EXPECT_EQ(mismatched.image(), nullptr);
    EXPECT_EQ(mismatched.computed_count(), 0u);
    r.width = -100;
    EXPECT_EQ(Fractal(r, nullptr).width(), 0);

    // Deep views switch to BigFloat, whose neighbouring columns stay distinct.
    Fractal deep = view_at(64, 64, -0.743643887037151, 0.131825904205330, 1e-10);
    deep.prepare(true);
    EXPECT_FALSE(deep.uses_big_float());
    deep.set_view(deep.centre_x(), deep.centre_y(), 1e-16);
    complete(deep);
    ASSERT_TRUE(deep.uses_big_float());
    EXPECT_FALSE(same(deep.column_coordinate(10), deep.column_coordinate(11)));
}

// Next to the cusp at 0.25 the strips see every escape count near 255 and 256,
// and points that reach the limit of 256 exactly.
TEST(FractalPixels, QueryMatchesEscapeTimeAndCountsOnce) {
    for (auto [w, h, cx, cy, radius, limit] : {std::tuple{40, 30, -0.6, 0.2, 1.3, 300u},
                                               {4000, 1, 0.25105, 0.0, 0.00095, 1000u},
                                               {4000, 1, 0.25105, 0.0, 0.00095, 256u}}) {
        Fractal f = view_at(w, h, cx, cy, radius, limit);
        complete(f);
        uint32_t seen = 0;
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                const uint32_t n = qvtest::reference_escape(f.column_coordinate(x).to_double(),
                                                            f.row_coordinate(y).to_double(), limit);
                ASSERT_EQ(f.pixel_value(x, y), byte_of(n, limit)) << x << "," << y;
                seen |= (n == 255) | (n == 256) << 1;
            }
        EXPECT_TRUE(w < 4000 || seen == 3);
        EXPECT_EQ(f.pixel_value(-1, 0) & f.pixel_value(INT32_MIN, h), 0xFFFFFFFFu);
        EXPECT_EQ(f.computed_count(), uint32_t(w * h));  // computed pixels are not iterated again
    }
}

TEST(FractalPixels, IterationLimitChanges) {
    Fractal f = view_at(48, 40, -0.5, 0.0, 1.5);
    complete(f);
    const MaskedImage before = *f.image();
    const auto inside = std::count(before.values(), before.values() + 48 * 40, 0);
    ASSERT_GT(inside, 0);
    f.set_max_iterations(300);  // growing keeps the escaped pixels
    for (int32_t i = 0; i < 48 * 40; ++i)
        ASSERT_EQ(f.image()->is_computed(i % 48, i / 48), before.values()[i] != 0);
    complete(f);
    EXPECT_EQ(f.computed_count(), uint32_t(inside));
    f.set_max_iterations(300);  // the same limit recomputes everything
    complete(f);
    EXPECT_EQ(f.computed_count(), 48u * 40);
    for (uint32_t n : {0u, 1u}) {
        f.set_max_iterations(n);
        EXPECT_EQ(f.max_iterations(), 2u) << n;
    }
}

// Steps of 1/64 make every coordinate exact, so a moved view and a view placed
// at the moved origin must agree on every pixel; kept pixels are not iterated.
TEST(FractalMove, MovedViewEqualsFreshView) {
    for (auto [dx, dy] : {std::pair{16, 4}, {-24, -9}, {40, -30}}) {
        Fractal f = view_at(96, 96, -0.75, 0.125, 0.75, 400);
        complete(f);
        const BigFloat centre_x = f.column_coordinate(48 + dx),
                       centre_y = f.row_coordinate(48 - dy);
        f.move(dx, dy);
        EXPECT_TRUE(same(f.centre_x(), centre_x) && same(f.centre_y(), centre_y));
        const MaskedImage kept = *f.image();
        complete(f);
        FractalRecord r = f.record();
        r.computed_count = 0;
        Fractal fresh(r, nullptr);
        fresh.prepare(true);
        uint32_t entering = 0;
        for (int32_t y = 0; y < 96; ++y)
            for (int32_t x = 0; x < 96; ++x) {
                ASSERT_TRUE(same(f.column_coordinate(x), fresh.column_coordinate(x)));
                ASSERT_TRUE(same(f.row_coordinate(y), fresh.row_coordinate(y)));
                const bool inside = x + dx >= 0 && x + dx < 96 && y - dy >= 0 && y - dy < 96;
                ASSERT_EQ(kept.is_computed(x, y), inside) << x << "," << y;
                const uint32_t want = fresh.pixel_value(x, y);
                ASSERT_EQ(f.pixel_value(x, y), want) << dx << "," << dy << " at " << x << "," << y;
                if (inside) {
                    ASSERT_EQ(kept.values()[y * 96 + x], want);
                    ASSERT_EQ(kept.counts().get(y * 96 + x), fresh.pixel_count(x, y));
                }
                entering += !inside;
            }
        EXPECT_EQ(f.computed_count(), entering);
    }
}

TEST(FractalMove, RoundsToMaskBytesAndFallsBack) {
    Fractal f = view_at(64, 48, -0.5, 0.1, 0.8);
    complete(f);
    const BigFloat cx = f.centre_x(), col24 = f.column_coordinate(24);
    f.move(5, 0);  // rounds to a whole mask byte: 0
    EXPECT_TRUE(same(f.centre_x(), cx));
    f.move(-3, 0);  // rounds to -8
    EXPECT_TRUE(same(f.centre_x(), col24));
    EXPECT_TRUE(!f.image()->is_computed(7, 20) && f.image()->is_computed(8, 20));
    // Moving by the whole width, or further, sets a new view there.
    for (int32_t dx : {64, INT32_MIN}) {
        complete(f);
        const double x0 = f.centre_x().to_double(), step = f.record().step_x;
        f.move(dx, 0);
        EXPECT_EQ(f.image(), nullptr);
        EXPECT_NEAR(f.centre_x().to_double(), x0 + dx * step, 1e-9 * std::abs(x0 + dx * step));
    }
}

TEST(FractalZoom, ZoomAtGridAndOutsidePoints) {
    Fractal f = view_at(100, 80, -0.5, 0.0, 1.5);
    f.prepare(true);
    const BigFloat c30 = f.column_coordinate(30), r20 = f.row_coordinate(20);
    f.zoom_at(30, 20, 4.0f);
    EXPECT_TRUE(same(f.centre_x(), c30) && same(f.centre_y(), r20));
    EXPECT_EQ(f.radius(), 1.5 / 4.0);
    // Outside the grid, and without tables, the coordinate is extrapolated.
    const FractalRecord r = f.record();
    f.zoom_at(-10, 5, 2.0f);
    EXPECT_NEAR(f.centre_x().to_double(), r.origin_x.to_double() - 10 * r.step_x, 1e-15);
    EXPECT_NEAR(f.centre_y().to_double(), r.origin_y.to_double() + 5 * r.step_y, 1e-15);
}

// A view's counts are as wide as its limit from the start, and widen when the
// limit is raised past that width: the limit is stored unchanged.
TEST(FractalCounts, AsWideAsTheLimit) {
    for (uint32_t limit : {200u, 1000u, 70000u}) {
        Fractal f = view_at(16, 12, -0.5, 0.0, 1.5, limit);
        f.prepare(true);
        EXPECT_EQ(f.image()->counts().width(), limit <= 255 ? 1u : limit <= 65535 ? 2u : 4u);
        EXPECT_EQ(f.pixel_value(8, 6), 0u);
        EXPECT_EQ(f.pixel_count(8, 6), limit);
    }
    Fractal f = view_at(16, 12, -0.5, 0.0, 1.5, 200);
    f.prepare(true);
    f.pixel_value(8, 6);
    f.set_max_iterations(300);
    f.prepare(true);
    EXPECT_EQ(f.pixel_value(8, 6), 0u);
    EXPECT_EQ(f.pixel_count(8, 6), 300u);
    EXPECT_EQ(f.image()->counts().width(), 2u);
}

// Pixels iterated ahead, in double and 192-bit views, with budgets that pause
// the kernels mid-pixel: the pixel query then gives exactly its own values,
// the pixels are counted once, and they are not marked computed until asked.
TEST(FractalLookahead, GivesThePixelQueryItsOwnValues) {
    const char* deep_x = "-B.E5F721E9D05DC5BD64D566E76C7649B2E487x-1";
    const char* deep_y = "+8.6FD5EAD72F4C47C96FDE2A4F8B563BB33441x-3";
    struct Case {
        const char* name;
        BigFloat cx, cy;
        double radius;
        uint32_t limit;
        uint64_t steps;  // kernel steps per call
    };
    const Case cases[] = {
        {"whole set", BigFloat(-0.5), BigFloat(0.0), 1.5, 500, UINT64_MAX},
        {"whole set paused", BigFloat(-0.5), BigFloat(0.0), 1.5, 500, 40},
        {"whole set at limit 3", BigFloat(-0.5), BigFloat(0.0), 1.5, 3, UINT64_MAX},
        {"spiral paused", BigFloat(-0.7436438870371), BigFloat(0.1318259042053), 1e-6, 3000, 100},
        {"192-bit paused", BigFloat(deep_x), BigFloat(deep_y), 1e-30, 400, 256},
    };
    for (const Case& c : cases) {
        Fractal plain(24, 18), ahead(24, 18);
        for (Fractal* f : {&plain, &ahead}) {
            f->set_view(c.cx, c.cy, c.radius);
            f->set_max_iterations(c.limit);
            f->set_smooth(true);
            f->prepare(true);
        }
        complete(plain);
        ahead.pixel_value(3, 3);  // computed before: not listed again
        ahead.queue_ahead(-5, -5, 30, 10);
        ahead.queue_ahead(0, 0, 23, 17);
        Budget budget;
        budget.max_steps = c.steps;
        int calls = 0;
        while (!ahead.run_ahead(budget)) ASSERT_LT(++calls, 100000) << c.name;
        if (c.steps != UINT64_MAX) {
            EXPECT_GT(calls, 0) << c.name;
        }
        EXPECT_EQ(ahead.uses_big_float(), std::string(c.name) == "192-bit paused");
        EXPECT_EQ(ahead.computed_count(), 24u * 18) << c.name;
        EXPECT_FALSE(ahead.image()->is_computed(5, 5)) << c.name;
        EXPECT_TRUE(ahead.ahead_ready(5, 5));
        complete(ahead);
        EXPECT_EQ(ahead.computed_count(), 24u * 18) << c.name;
        EXPECT_EQ(std::memcmp(ahead.image()->values(), plain.image()->values(), 24 * 18), 0)
            << c.name;
        // Full counts and smooth fractions too: the lanes keep the escaped z
        // the one-lane loop ends with.
        for (size_t i = 0; i < 24 * 18; ++i)
            ASSERT_EQ(ahead.image()->counts().get(i), plain.image()->counts().get(i))
                << c.name << " " << i;
        EXPECT_EQ(std::memcmp(ahead.image()->fractions(), plain.image()->fractions(), 24 * 18 * 4),
                  0)
            << c.name;

        // Stored at once instead: the same pixels, marked computed as the
        // kernel finishes them; a row left waiting aside before stays so.
        Fractal stored(24, 18);
        stored.set_view(c.cx, c.cy, c.radius);
        stored.set_max_iterations(c.limit);
        stored.set_smooth(true);
        stored.prepare(true);
        stored.queue_ahead(0, 4, 23, 4);
        while (!stored.run_ahead(budget)) {
        }
        stored.queue_ahead(0, 0, 23, 17);
        calls = 0;
        while (!stored.run_ahead_computed(budget)) ASSERT_LT(++calls, 100000) << c.name;
        EXPECT_EQ(stored.computed_count(), 24u * 18) << c.name;
        EXPECT_TRUE(stored.image()->is_computed(5, 5)) << c.name;
        EXPECT_FALSE(stored.image()->is_computed(5, 4)) << c.name;
        complete(stored);
        for (size_t i = 0; i < 24 * 18; ++i) {
            ASSERT_EQ(stored.image()->values()[i], plain.image()->values()[i]) << c.name << i;
            ASSERT_EQ(stored.image()->counts().get(i), plain.image()->counts().get(i)) << c.name;
            ASSERT_EQ(stored.image()->fractions()[i], plain.image()->fractions()[i]) << c.name;
        }
    }
}

// The way contour tracing asks: a missing pixel first gets a few iterations at
// once, and otherwise goes to the kernel with its tile, which runs only the
// latest listed pixels, paused every few steps; older listed pixels are
// dropped. Every query gets its own value, and every pixel counts once.
// Every SIMD level leaves the escaped z, so smooth fractions do not depend on
// the level.
TEST(FractalLookahead, FractionsAtEverySimdLevel) {
    auto run = [](SimdLevel level) {
        set_simd_level(level);
        Fractal f(40, 30);
        f.set_view(BigFloat(-0.7436438870371), BigFloat(0.1318259042053), 1e-6);
        f.set_max_iterations(3000);
        f.set_smooth(true);
        f.prepare(true);
        f.queue_ahead(0, 0, 39, 29);
        while (!f.run_ahead(Budget{})) {
        }
        complete(f);
        const float* fractions = f.image()->fractions();
        return std::vector<float>(fractions, fractions + 40 * 30);
    };
    const SimdLevel before = active_simd_level();
    const std::vector<float> scalar = run(SimdLevel::scalar);
    EXPECT_GT(std::count_if(scalar.begin(), scalar.end(), [](float c) { return c > 1.0f; }), 300);
    for (int level = 1; level <= int(best_simd_level()); ++level)
        EXPECT_EQ(run(static_cast<SimdLevel>(level)), scalar) << level;
    set_simd_level(before);
}

TEST(FractalLookahead, AtOnceAndRecentPixelsGiveTheQueryItsOwnValues) {
    const char* deep_x = "-B.E5F721E9D05DC5BD64D566E76C7649B2E487x-1";
    const char* deep_y = "+8.6FD5EAD72F4C47C96FDE2A4F8B563BB33441x-3";
    struct Case {
        const char* name;
        BigFloat cx, cy;
        double radius;
        uint32_t limit, at_once, recent;
        uint64_t steps;  // kernel steps per call
    };
    const Case cases[] = {
        {"whole set", BigFloat(-0.5), BigFloat(0.0), 1.5, 500, 32, 16, UINT64_MAX},
        {"whole set, nothing at once", BigFloat(-0.5), BigFloat(0.0), 1.5, 500, 0, 9, 70},
        {"whole set, all at once", BigFloat(-0.5), BigFloat(0.0), 1.5, 500, 500, 16, 70},
        {"spiral paused", BigFloat(-0.7436438870371), BigFloat(0.1318259042053), 1e-6, 3000, 5, 1,
         100},
        {"192-bit", BigFloat(deep_x), BigFloat(deep_y), 1e-30, 300, 32, 16, UINT64_MAX},
    };
    for (const Case& c : cases) {
        Fractal plain(21, 17), ahead(21, 17);
        for (Fractal* f : {&plain, &ahead}) {
            f->set_view(c.cx, c.cy, c.radius);
            f->set_max_iterations(c.limit);
            f->set_smooth(true);
            f->prepare(true);
        }
        complete(plain);
        Budget budget;
        budget.max_steps = c.steps;
        // Columns first, so that tiles of earlier queries are partly used.
        for (int32_t x = 0; x < 21; ++x) {
            for (int32_t y = 0; y < 17; ++y) {
                if (!ahead.ahead_ready(x, y) && !ahead.ahead_listed(x, y)) {
                    if (ahead.run_ahead_at_once(x, y, c.at_once)) {
                        EXPECT_TRUE(ahead.ahead_ready(x, y)) << c.name;
                        EXPECT_FALSE(ahead.uses_big_float()) << c.name;
                    } else {
                        EXPECT_TRUE(ahead.ahead_listed(x, y)) << c.name;
                        ahead.queue_ahead(x - 2, y - 2, x + 2, y + 2);
                    }
                }
                int calls = 0;
                while (!ahead.run_ahead_for(x, y, budget, c.recent))
                    ASSERT_LT(++calls, 100000) << c.name;
                ahead.keep_recent_ahead(2 * c.recent);
                ASSERT_EQ(ahead.pixel_value(x, y), plain.pixel_value(x, y))
                    << c.name << " at " << x << ", " << y;
            }
        }
        EXPECT_EQ(ahead.computed_count(), 21u * 17) << c.name;
    }
}

// Values waiting aside do not go with a copy, a stored record or a dropped
// lookahead, and neither does their count: computing the view fully then
// counts every pixel exactly once. The lookahead's memory counts in the view's
// size until it is dropped.
TEST(FractalLookahead, CopiesAndDropsCountOnlyWhatIsMarked) {
    Fractal f = view_at(30, 20, -0.75, 0.1, 0.2, 500);
    f.prepare(true);
    f.pixel_value(0, 0);
    const uint32_t bare = f.memory_size();
    f.queue_ahead(0, 0, 29, 9);
    EXPECT_GE(f.memory_size(), bare + 2 * 600);
    ASSERT_TRUE(f.run_ahead(Budget{}));
    f.pixel_value(1, 0);
    EXPECT_EQ(f.computed_count(), 300u);
    EXPECT_EQ(f.record().computed_count, 2u);
    Fractal copy(f);
    EXPECT_EQ(copy.computed_count(), 2u);
    complete(copy);
    EXPECT_EQ(copy.computed_count(), 600u);
    f.drop_ahead();
    EXPECT_EQ(f.memory_size(), bare);
    EXPECT_EQ(f.computed_count(), 2u);
    complete(f);
    EXPECT_EQ(f.computed_count(), 600u);
    EXPECT_EQ(std::memcmp(f.image()->values(), copy.image()->values(), 600), 0);
}

// With noting on, each pixel the batch kernel makes ready is noted once, in
// the lookahead made after a drop too; pixels done at once on one lane and
// pixels made ready while noting is off are not.
TEST(FractalLookahead, NotesPixelsTheKernelMakesReady) {
    Fractal f = view_at(30, 20, -0.75, 0.1, 0.2, 500);
    f.prepare(true);
    std::vector<uint32_t> noted;
    f.note_ready_ahead(true);
    f.take_ready_ahead(noted);
    EXPECT_TRUE(noted.empty());
    for (int round = 0; round < 2; ++round) {
        // A cheap pixel: done at once, not noted.
        ASSERT_TRUE(f.run_ahead_at_once(0, 19, 1000)) << round;
        f.queue_ahead(0, 0, 29, 9);
        Budget budget;
        budget.max_steps = 40;  // pauses, so that pixels come ready over several calls
        std::vector<uint32_t> all;
        for (int calls = 0; !f.run_ahead(budget); ++calls) {
            ASSERT_LT(calls, 100000);
            f.take_ready_ahead(noted);
            all.insert(all.end(), noted.begin(), noted.end());
        }
        f.take_ready_ahead(noted);
        all.insert(all.end(), noted.begin(), noted.end());
        std::sort(all.begin(), all.end());
        std::vector<uint32_t> rows(300);
        for (uint32_t i = 0; i < 300; ++i) rows[i] = i;
        EXPECT_EQ(all, rows) << round;
        f.take_ready_ahead(noted);
        EXPECT_TRUE(noted.empty()) << round;
        f.drop_ahead();
    }
    f.note_ready_ahead(false);
    f.queue_ahead(0, 10, 29, 19);
    ASSERT_TRUE(f.run_ahead(Budget{}));
    f.take_ready_ahead(noted);
    EXPECT_TRUE(noted.empty());
}

// A change of limit, grid or place drops pixels listed or waiting aside: their
// values would be those of the old view.
TEST(FractalLookahead, ChangesDropTheList) {
    auto fresh_ahead = [](Fractal& f) {
        f.prepare(true);
        f.queue_ahead(0, 0, 19, 0);
        Budget budget;
        budget.max_steps = 3;
        f.run_ahead(budget);
    };
    for (int change = 0; change < 3; ++change) {
        Fractal f = view_at(20, 20, -0.75, 0.1, 0.01, 3000);
        fresh_ahead(f);
        if (change == 0) f.set_max_iterations(50);
        if (change == 1) f.move(8, 1);
        if (change == 2) f.set_view(BigFloat(-0.5), BigFloat(0.0), 1.5);
        f.prepare(true);
        EXPECT_FALSE(f.ahead_ready(1, 0)) << change;
        EXPECT_TRUE(f.run_ahead(Budget{})) << change;
        EXPECT_EQ(f.pixel_value(1, 0),
                  qvtest::reference_value(f.column_coordinate(1).to_double(),
                                          f.row_coordinate(0).to_double(), f.max_iterations()))
            << change;
    }
}

// The counts wait aside at the width the limit needs; a count past it still
// widens the plane without losing those collected before it, and records not
// done stay listed in order.
TEST(FractalLookahead, CollectsCountsPastTheLimitsWidth) {
    Lookahead ahead(16, 200);
    const uint32_t counts[] = {3, 70000, 5, 0, 200, 9};
    for (size_t i = 0; i < 6; ++i) {
        Orbit o = fresh_orbit(0.0, 0.0);
        o.n = counts[i];
        o.done = i != 3 && i != 5;
        ahead.queue(2 * i, o);
    }
    auto no_fraction = [](const Orbit&, size_t) { return 0.0f; };
    EXPECT_EQ(ahead.collect(no_fraction), 4u);
    EXPECT_EQ(ahead.ready_count(), 4u);
    for (size_t i : {0, 1, 2, 4}) {
        EXPECT_EQ(ahead.state(2 * i), Lookahead::kReady) << i;
        EXPECT_EQ(ahead.peek(2 * i), counts[i]) << i;
    }
    ASSERT_EQ(ahead.listed_count(), 2u);
    EXPECT_EQ(ahead.pending()[0], 6u);
    EXPECT_EQ(ahead.pending()[1], 10u);
    ahead.orbits()[1].done = true;
    EXPECT_EQ(ahead.collect(no_fraction), 1u);
    EXPECT_EQ(ahead.take(10).count, 9u);
    EXPECT_EQ(ahead.take(2).count, 70000u);
}

}  // namespace
}  // namespace quorvel
