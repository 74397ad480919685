// The batch kernel at every SIMD level this processor has, and both kernels
// paused and resumed, against the one-pixel kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bigfloat/orbit_batch.h"

namespace quorvel {
namespace {

std::vector<SimdLevel> levels_here() {
    std::vector<SimdLevel> out;
    for (int i = 0; i <= static_cast<int>(best_simd_level()); ++i)
        out.push_back(static_cast<SimdLevel>(i));
    return out;
}

struct Point {
    double cx, cy;
};

std::vector<Orbit> fresh(const std::vector<Point>& points) {
    std::vector<Orbit> orbits;
    for (const Point& p : points) orbits.push_back(fresh_orbit(p.cx, p.cy));
    return orbits;
}

// Runs the batch at `level`, pausing after every `steps_per_call` steps when
// non-zero, and checks every count against iterate_double.
void expect_scalar_counts(SimdLevel level, uint32_t limit, const std::vector<Point>& points,
                          uint64_t steps_per_call = 0) {
    std::vector<Orbit> orbits = fresh(points);
    Budget budget;
    if (steps_per_call != 0) budget.max_steps = steps_per_call;
    int calls = 0;
    while (!iterate_double_batch_at(level, limit, orbits.data(), orbits.size(), budget)) {
        ASSERT_LT(++calls, 1000000) << "no progress";
    }
    if (steps_per_call != 0 && !points.empty() && limit > 5000) {
        EXPECT_GT(calls, 0);
    }
    for (size_t i = 0; i < points.size(); ++i) {
        ASSERT_TRUE(orbits[i].done);
        ASSERT_EQ(orbits[i].n, iterate_double(limit, points[i].cx, points[i].cy))
            << simd_level_name(level) << " limit " << limit << " at " << points[i].cx << " + "
            << points[i].cy << "i, pixel " << i << " of " << points.size();
    }
}

std::vector<Point> near_boundary(size_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Point> out;
    for (size_t i = 0; i < count; ++i) {
        if (i % 3 == 0)  // seahorse valley, chaotic orbits
            out.push_back({-0.7436438870371587 + double(int(rng() % 20001) - 10000) * 1e-9,
                           0.1318259042053120 + double(int(rng() % 20001) - 10000) * 1e-9});
        else  // anywhere on the whole set
            out.push_back(
                {-2.2 + double(rng() % 30000) * 1e-4, -1.5 + double(rng() % 30000) * 1e-4});
    }
    return out;
}

TEST(BatchKernel, MatchesScalarCountsAtEveryLevel) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Point> special = {
        {nan, 0.0},  {0.0, nan},  {nan, nan},   {inf, 0.0},     {-inf, 0.0},  {0.0, inf},
        {inf, -inf}, {inf, nan},  {3.0, 0.0},   {-2.0, 0.0},    {0.0, 2.0},   {0.0, 0.0},
        {-1.0, 0.0}, {0.25, 0.0}, {-0.75, 0.1}, {1e308, 1e308}, {-0.0, -0.0}, {2.0, 1e-300}};
    const std::vector<Point> wide = near_boundary(500, 7);
    for (SimdLevel level : levels_here()) {
        SCOPED_TRACE(simd_level_name(level));
        for (uint32_t limit : {0u, 1u, 2u, 3u, 150u, 3000u}) {
            expect_scalar_counts(level, limit, special);
            expect_scalar_counts(level, limit, wide);
        }
        // Batches shorter than one register, or than the interleaved lanes.
        for (size_t n : {0, 1, 2, 3, 5, 7, 9, 31, 33})
            expect_scalar_counts(level, 1000,
                                 std::vector<Point>(wide.begin(), wide.begin() + long(n)));
        // Pixels that all escape at the first test refill every lane every step.
        std::vector<Point> outside;
        for (int i = 0; i < 200; ++i) outside.push_back({2.0 + i * 0.01, -1.0 - i * 0.01});
        expect_scalar_counts(level, 1000, outside);
    }
}

TEST(BatchKernel, HighestLimitAndDoneRecordsAreSkipped) {
    // At the highest limit only escaping pixels can finish in a test; the pause
    // keeps the ones inside from holding it.
    std::vector<Point> escaping = near_boundary(300, 11);
    for (SimdLevel level : levels_here()) {
        std::vector<Orbit> orbits = fresh(escaping);
        Budget budget;
        budget.max_steps = 200000;
        iterate_double_batch_at(level, 4294967295u, orbits.data(), orbits.size(), budget);
        for (size_t i = 0; i < escaping.size(); ++i) {
            if (!orbits[i].done) continue;
            ASSERT_EQ(orbits[i].n, iterate_double(4294967295u, escaping[i].cx, escaping[i].cy))
                << simd_level_name(level);
        }
        // A pixel inside is still running, with its count advanced (at the
        // cusp the orbit creeps towards its fixed point without repeating).
        Orbit inside[] = {fresh_orbit(0.25, 0.0), {0.5, 0.5, 0.0, 0.0, 7, 0, true}};
        budget.max_steps = 5000;
        EXPECT_FALSE(iterate_double_batch_at(level, 4294967295u, inside, 2, budget));
        EXPECT_FALSE(inside[0].done);
        EXPECT_GE(inside[0].n, 4096u);
        EXPECT_EQ(inside[1].n, 7u);  // already done: untouched
    }
}

// The escape-time loop without cycle detection.
uint32_t plain_count(uint32_t limit, double cx, double cy) {
    double x = cx, y = cy;
    uint32_t n = 1;
    while (double_step(cx, cy, x, y))
        if (++n >= limit) break;
    return n;
}

// Orbits that repeat end at the limit as soon as the repeat is seen, on every
// lane and after any pause; every other count stays that of the plain loop.
TEST(BatchKernel, RepeatingOrbitsEndAtTheLimitAtOnce) {
    std::vector<Point> points = near_boundary(300, 5);
    for (const Point p : {Point{-0.1, 0.0}, Point{-1.0, 0.0}, Point{-0.12, 0.75}, Point{-1.3, 0.05},
                          Point{0.2, 0.3}, Point{-0.7, 0.2}})
        points.push_back(p);
    for (const Point& p : points)
        ASSERT_EQ(iterate_double(20000, p.cx, p.cy), plain_count(20000, p.cx, p.cy))
            << p.cx << " + " << p.cy << "i";
    for (SimdLevel level : levels_here())
        for (uint64_t steps : {0u, 1u, 7u, 100u}) expect_scalar_counts(level, 20000, points, steps);

    // At a limit no budget here reaches, the pixels inside still finish.
    const std::vector<Point> inside(points.end() - 6, points.end());
    for (const Point& p : inside) EXPECT_EQ(iterate_double(4000000000u, p.cx, p.cy), 4000000000u);
    for (SimdLevel level : levels_here()) {
        std::vector<Orbit> orbits = fresh(inside);
        Budget budget;
        budget.max_steps = 1000000;
        EXPECT_TRUE(
            iterate_double_batch_at(level, 4000000000u, orbits.data(), orbits.size(), budget))
            << simd_level_name(level);
        for (const Orbit& o : orbits) EXPECT_EQ(o.n, 4000000000u) << simd_level_name(level);
    }
}

TEST(BatchKernel, PausedAndResumedGivesUninterruptedCounts) {
    const std::vector<Point> points = near_boundary(200, 3);
    for (SimdLevel level : levels_here())
        for (uint64_t steps : {1u, 7u, 1024u, 5000u})
            expect_scalar_counts(level, 20000, points, steps);
}

// One lane in short runs, then the batch kernel from where it stopped: the
// count of iterate_double, at the smallest limits, for pixels that escape at
// the first test and for NaN and infinite coordinates.
TEST(AdvanceOrbit, ShortRunsThenTheBatchGiveTheScalarCount) {
    std::vector<Point> points = near_boundary(60, 5);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    points.insert(points.end(), {{3.0, 0.0}, {-0.1, 0.0}, {nan, 0.0}, {0.0, inf}, {-inf, nan}});
    for (uint32_t limit : {2u, 3u, 1000u}) {
        for (uint32_t steps : {0u, 1u, 5u, 32u}) {
            std::vector<Orbit> orbits = fresh(points);
            for (size_t i = 0; i < points.size(); ++i) {
                Orbit& o = orbits[i];
                const uint32_t n0 = o.n;
                const bool done = advance_orbit(limit, o, steps) || advance_orbit(limit, o, steps);
                EXPECT_EQ(done, o.done);
                if (!done) {
                    EXPECT_EQ(o.n, n0 + 2 * steps) << "runs on while it may";
                }
            }
            Budget budget;
            ASSERT_TRUE(iterate_double_batch_at(SimdLevel::scalar, limit, orbits.data(),
                                                orbits.size(), budget));
            for (size_t i = 0; i < points.size(); ++i)
                EXPECT_EQ(orbits[i].n, iterate_double(limit, points[i].cx, points[i].cy))
                    << "limit " << limit << ", " << steps << " steps, pixel " << i;
        }
    }
    Orbit inside = fresh_orbit(-0.1, 0.0);
    EXPECT_FALSE(advance_orbit(4294967295u, inside, 100000));
    EXPECT_EQ(inside.n, 100001u);
}

// Stopping as soon as one wanted record is done leaves the others in flight;
// asking for each in turn gives every count of an uninterrupted run.
TEST(BatchKernel, StopsOnceTheWantedRecordIsDone) {
    const std::vector<Point> points = near_boundary(120, 9);
    for (SimdLevel level : levels_here()) {
        std::vector<Orbit> orbits = fresh(points);
        for (size_t w = points.size(); w-- > 0;) {
            Budget budget;
            budget.wanted = &orbits[w];
            if (!orbits[w].done)
                iterate_double_batch_at(level, 5000, orbits.data(), orbits.size(), budget);
            ASSERT_TRUE(orbits[w].done) << simd_level_name(level);
        }
        for (size_t i = 0; i < points.size(); ++i)
            ASSERT_EQ(orbits[i].n, iterate_double(5000, points[i].cx, points[i].cy))
                << simd_level_name(level) << " pixel " << i;
    }
}

TEST(BatchKernel, LevelsFallBackToWhatTheProcessorHas) {
    const SimdLevel before = active_simd_level();
    EXPECT_EQ(set_simd_level(SimdLevel::scalar), SimdLevel::scalar);
    EXPECT_EQ(active_simd_level(), SimdLevel::scalar);
    EXPECT_EQ(set_simd_level(SimdLevel::avx512), best_simd_level());
    set_simd_level(before);

    // QUORVEL_SIMD: a known level the processor has is taken silently; an
    // unknown or missing one falls back to the best with one line on stderr.
    for (int i = 0; i <= static_cast<int>(SimdLevel::avx512); ++i) {
        const auto level = static_cast<SimdLevel>(i);
        testing::internal::CaptureStderr();
        const SimdLevel got = simd_level_for(simd_level_name(level));
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(got, level > best_simd_level() ? best_simd_level() : level);
        EXPECT_EQ(said.empty(), level <= best_simd_level()) << said;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(simd_level_for("avx1024"), best_simd_level());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(simd_level_for(""), best_simd_level());
    EXPECT_EQ(simd_level_for(nullptr), best_simd_level());
}

TEST(BigFloatKernel, PausedAndResumedGivesUninterruptedCount) {
    for (auto [limit, px, py] : {std::tuple{3000u, -0.75, 0.1},
                                 {5000u, -0.7436438870371587, 0.1318259042053120},
                                 {2000u, 0.25, 0.0},
                                 {4000000000u, -0.1, 0.0},
                                 {4000000000u, -0.12, 0.75},
                                 {2u, 0.0, 0.0},
                                 {1u, 3.0, 0.0}}) {
        const BigFloat x(px), y(py);
        BigOrbit orbit;
        Budget budget;
        budget.max_steps = 256;
        int calls = 0;
        while (!iterate_big_float_resumable(limit, x, y, orbit, budget)) ++calls;
        EXPECT_EQ(orbit.n, iterate_big_float(limit, x, y)) << px << " + " << py << "i";
        // Inside: the cusp runs into the pause; a repeating orbit ends at its
        // first repeat, pauses or not.
        if (px == 0.25) {
            EXPECT_GT(calls, 0);
        }
        if (limit == 4000000000u) {
            EXPECT_EQ(orbit.n, limit);
            EXPECT_LT(calls, 10000);
        }
    }
}

}  // namespace
}  // namespace quorvel
