// Linear steps along a reference: the table's steps against the single steps
// they merge, the kernel that takes them against plain perturbation, and the
// plan that builds the table in slices.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "deep/bla_table.h"
#include "deep/mpfr_number.h"
#include "deep/perturbation_batch.h"
#include "deep/perturbation_bla.h"
#include "deep/perturbation_plan.h"
#include "deep/reference_orbit.h"
#include "test_orbit.h"
#include "test_view.h"
#include "view/fractal.h"

namespace quorvel {
namespace {

using Complex = std::complex<double>;

// The boundary view of deep_test at 1e-36: counts about 2500 to 4000.
const char* const kDeepX = "-B.E5F721E91B8DA48AD8D3740AACDC2740ED39E747A2E74x-1";
const char* const kDeepY = "+8.6FD5EAE7E864DDA1DE2AEA24B878503D24F3EB2477B3x-3";
constexpr int32_t kSide = 24;
constexpr uint32_t kLimit = 5000;

struct DeepPlan {
    Fractal view{kSide, kSide};
    std::unique_ptr<PerturbationPlan> plan;
    explicit DeepPlan(bool skipping) {
        view.set_view(BigFloat(kDeepX), BigFloat(kDeepY), 1e-36);
        view.set_max_iterations(kLimit);
        view.prepare(true);
        plan = std::make_unique<PerturbationPlan>(view.grid_coordinates(), ExtFloat(1e-36),
                                                  ExtFloat(2e-36 / kSide), kLimit, skipping);
        while (!plan->prepare(1.0)) {
        }
    }
    OrbitSpan span() const {
        const ReferenceOrbit& o = plan->main_orbit();
        return {o.re(), o.im(), o.length(), o.escaped()};
    }
    double c_max() {
        double mx = 0, my = 0;
        for (int32_t i = 0; i < kSide; ++i) {
            mx = std::max(mx, std::fabs(plan->column_offsets()[i]));
            my = std::max(my, std::fabs(plan->row_offsets()[i]));
        }
        return std::hypot(mx, my);
    }
};

// Beside c = i at limit 2000, where linear steps skip most iterations: at
// 1e-100 with double offsets, at 1e-320 with extended ones.
struct NearI {
    Fractal view{16, 16};
    std::unique_ptr<PerturbationPlan> plan;
    std::vector<ExtFloat> dcx, dcy;
    NearI(bool skipping, const char* radius = "1e-320") {
        view.set_view(*WideReal::parse("3e-330"), *WideReal::parse("1"),
                      parse_radius(radius).value());
        view.set_max_iterations(2000);
        view.prepare(true);
        const WideView& wide = *view.wide();
        plan = std::make_unique<PerturbationPlan>(view.grid_coordinates(), wide.radius,
                                                  std::min(abs(wide.step_x), abs(wide.step_y)),
                                                  2000, skipping);
        while (!plan->prepare(1.0)) {
        }
        if (plan->extended()) {
            dcx.assign(plan->column_offsets_ext(), plan->column_offsets_ext() + 16);
            dcy.assign(plan->row_offsets_ext(), plan->row_offsets_ext() + 16);
        }
    }
    ExtOrbitSpan span() const {
        const ReferenceOrbit& o = plan->main_orbit();
        return {o.ext_re(), o.ext_im(), o.length(), o.escaped()};
    }
};

TEST(BlaTable, StepsComposeTheSingleStepsAndBoundWhatTheyDrop) {
    DeepPlan deep(false);
    const OrbitSpan orbit = deep.span();
    const double c = deep.c_max();
    BlaTable<double> table(orbit.re, orbit.im, orbit.length, c);
    while (!table.advance(1.0)) {
    }
    const Complex dc = std::polar(0.9 * c, 0.7);
    int checked = 0;
    for (uint32_t m = 1; m + 1 < orbit.length; m += 4) {
        uint32_t l = 0;
        const BlaStep<double>* s = table.find(m, 0.0, UINT32_MAX, l);
        if (!s) continue;
        ASSERT_EQ((m - 1) % std::bit_ceil(l), 0u) << m;  // aligned to its level's length
        ASSERT_LE(m + l, orbit.length - 1);
        // A and B of the single steps, and the offset they lead an exact
        // perturbation to from half the radius.
        Complex a(1.0), b(0.0);
        const Complex dz0 = std::polar(0.5 * std::sqrt(s->r2), 1.9);
        Complex dz = dz0;
        for (uint32_t j = m; j < m + l; ++j) {
            const Complex z(orbit.re[j], orbit.im[j]);
            a = 2.0 * z * a;
            b = 2.0 * z * b + 1.0;
            dz = (2.0 * z + dz) * dz + dc;
        }
        EXPECT_LT(std::abs(Complex(s->ar, s->ai) - a), 1e-9 * std::abs(a)) << m;
        EXPECT_LT(std::abs(Complex(s->br, s->bi) - b), 1e-9 * std::abs(b)) << m;
        const Complex linear = Complex(s->ar, s->ai) * dz0 + Complex(s->br, s->bi) * dc;
        const double dropped =
            (s->p * std::abs(dz0) + s->q * std::abs(dc)) * std::abs(dz0) + s->s * std::norm(dc);
        EXPECT_LE(std::abs(dz - linear), 1.01 * dropped + 1e-12 * std::abs(dz)) << m << " " << l;
        // The dropped terms stay small beside the offset within the radius.
        EXPECT_LT(dropped, 1e-6 * std::abs(dz)) << m;
        ++checked;
        // Shorter steps on request, none off the alignment.
        uint32_t shorter = 0;
        if (l > 4) {
            ASSERT_NE(table.find(m, 0.0, l - 1, shorter), nullptr);
            EXPECT_LT(shorter, l);
        }
        EXPECT_EQ(table.find(m + 1, 0.0, UINT32_MAX, shorter), nullptr);
        EXPECT_NE(table.find(m, s->r2, UINT32_MAX, shorter), s);  // at the radius
    }
    EXPECT_GT(checked, 100);
    uint32_t l = 0;
    EXPECT_EQ(table.find(0, 0.0, UINT32_MAX, l), nullptr);  // no step from Z_0 = 0
}

TEST(BlaTable, BuiltInSlicesEqualsBuiltAtOnce) {
    DeepPlan deep(false);
    const OrbitSpan orbit = deep.span();
    BlaTable<double> once(orbit.re, orbit.im, orbit.length, deep.c_max());
    BlaTable<double> sliced(orbit.re, orbit.im, orbit.length, deep.c_max());
    ASSERT_TRUE(once.advance(100.0));
    int calls = 1;
    while (!sliced.advance(0.0)) ++calls;
    EXPECT_GT(calls, 1);
    EXPECT_EQ(once.memory_size(), sliced.memory_size());
    EXPECT_GT(once.memory_size(), 0u);
    for (uint32_t m = 1; m < orbit.length; m += 4) {
        uint32_t la = 0, lb = 0;
        const BlaStep<double>* a = once.find(m, 1e-80, UINT32_MAX, la);
        const BlaStep<double>* b = sliced.find(m, 1e-80, UINT32_MAX, lb);
        ASSERT_EQ(a == nullptr, b == nullptr) << m;
        if (!a) continue;
        ASSERT_EQ(la, lb);
        ASSERT_EQ(a->ar, b->ar);
        ASSERT_EQ(a->bi, b->bi);
        ASSERT_EQ(a->r2, b->r2);
    }
}

TEST(BlaTable, LeavesOutLowLevelsToFitItsMemory) {
    DeepPlan deep(false);
    const OrbitSpan orbit = deep.span();
    BlaTable<double> full(orbit.re, orbit.im, orbit.length, deep.c_max());
    while (!full.advance(1.0)) {
    }
    const size_t cap = full.memory_size() / 8;
    BlaTable<double> small(orbit.re, orbit.im, orbit.length, deep.c_max(), cap);
    while (!small.advance(1.0)) {
    }
    EXPECT_EQ(full.first_level(), BlaTable<double>::kLowestLevel);
    EXPECT_GE(small.first_level(), full.first_level() + 3);
    EXPECT_LE(small.memory_size(), cap);
    const uint32_t span = 1u << small.first_level();
    uint32_t l = 0, lf = 0;
    int compared = 0;
    for (uint32_t m = 1; m < orbit.length; m += 4) {
        const BlaStep<double>* s = small.find(m, 0.0, UINT32_MAX, l);
        if ((m - 1) % span != 0) {
            EXPECT_EQ(s, nullptr) << m;
            continue;
        }
        // The full table's steps from the first kept level on (merged in
        // another order, so within rounding).
        const BlaStep<double>* f = full.find(m, 0.0, UINT32_MAX, lf);
        if (!s || !f || lf < span) continue;
        ++compared;
        EXPECT_EQ(l, lf);
        EXPECT_NEAR(s->ar, f->ar, 1e-12 * std::hypot(f->ar, f->ai));
        EXPECT_NEAR(s->r2, f->r2, 1e-9 * f->r2);
    }
    EXPECT_GT(compared, 20);
}

TEST(Skipping, GivesThePlainCountsInFewerSteps) {
    {
        DeepPlan deep(false);
        const OrbitSpan orbit = deep.span();
        BlaTable<double> table(orbit.re, orbit.im, orbit.length, deep.c_max());
        while (!table.advance(1.0)) {
        }
        uint64_t steps = 0, iterations = 0;
        int undecided = 0, decided = 0;
        for (int32_t y = 0; y < kSide; ++y)
            for (int32_t x = 0; x < kSide; ++x) {
                const double dcx = deep.plan->column_offsets()[x];
                const double dcy = deep.plan->row_offsets()[y];
                const uint32_t plain = iterate_perturbed(orbit, kLimit, dcx, dcy);
                uint64_t pixel_steps = 0;
                const uint32_t skipped = iterate_bla(orbit, table, kLimit, dcx, dcy, &pixel_steps);
                steps += pixel_steps;
                if (skipped == kNeedsOtherReference) {
                    ++undecided;
                    continue;
                }
                if (plain == kNeedsOtherReference) continue;
                ++decided;
                iterations += plain;
                EXPECT_EQ(skipped, plain) << x << "," << y;
            }
        EXPECT_LE(undecided, kSide * kSide / 20);
        EXPECT_GT(decided, kSide * kSide / 2);
        EXPECT_LT(steps * 2, iterations);
    }
    {
        NearI deep(false);
        const ExtOrbitSpan orbit = deep.span();
        ExtFloat c(0.0);
        for (const ExtFloat& d : deep.dcx) c = std::max(c, abs(d));
        for (const ExtFloat& d : deep.dcy) c = std::max(c, abs(d));
        BlaTable<ExtFloat> table(orbit.re, orbit.im, orbit.length, c * ExtFloat(1.5));
        while (!table.advance(1.0)) {
        }
        uint64_t steps = 0, iterations = 0;
        int decided = 0;
        for (int32_t y = 0; y < 16; ++y)
            for (int32_t x = 0; x < 16; ++x) {
                const uint32_t plain = iterate_perturbed_ext(orbit, 2000, deep.dcx[x], deep.dcy[y]);
                const uint32_t skipped =
                    iterate_bla_ext(orbit, table, 2000, deep.dcx[x], deep.dcy[y], &steps);
                if (skipped == kNeedsOtherReference || plain == kNeedsOtherReference) continue;
                ++decided;
                iterations += plain;
                EXPECT_EQ(skipped, plain) << x << "," << y;
            }
        EXPECT_GT(decided, 16 * 16 * 9 / 10);
        EXPECT_LT(steps * 4, iterations);
    }
}

TEST(Skipping, BatchGivesTheOnePixelCountsAcrossPauses) {
    NearI deep(true, "1e-100"), near(true);
    ASSERT_FALSE(deep.plan->extended());
    ASSERT_TRUE(deep.plan->uses_table());
    ASSERT_TRUE(near.plan->uses_table());
    // Each pixel alone, in one call.
    std::vector<uint32_t> expected, expected_ext, pixels;
    for (int32_t y = 0; y < 16; ++y)
        for (int32_t x = 0; x < 16; ++x) {
            Orbit one =
                fresh_perturbed(deep.plan->column_offsets()[x], deep.plan->row_offsets()[y]);
            ASSERT_TRUE(deep.plan->iterate_batch(&one, 1, Budget{}));
            expected.push_back(one.n);
        }
    for (uint32_t i = 0; i < 256; ++i) {
        pixels.push_back(i);
        std::vector<Orbit> one{PerturbationPlan::fresh_extended()};
        ASSERT_TRUE(near.plan->iterate_batch_extended(one.data(), &i, 1, Budget{}));
        expected_ext.push_back(one[0].n);
    }
    for (const uint64_t steps : {uint64_t{97}, uint64_t{5}}) {
        std::vector<Orbit> records;
        for (int32_t y = 0; y < 16; ++y)
            for (int32_t x = 0; x < 16; ++x)
                records.push_back(
                    fresh_perturbed(deep.plan->column_offsets()[x], deep.plan->row_offsets()[y]));
        Budget budget;
        budget.max_steps = steps;
        int calls = 0;
        while (!deep.plan->iterate_batch(records.data(), records.size(), budget)) ++calls;
        EXPECT_GT(calls, 10);
        for (size_t i = 0; i < records.size(); ++i) ASSERT_EQ(records[i].n, expected[i]) << i;

        std::vector<Orbit> ext(256, PerturbationPlan::fresh_extended());
        Budget until;
        until.wanted = &ext[100];
        EXPECT_FALSE(near.plan->iterate_batch_extended(ext.data(), pixels.data(), 256, until));
        EXPECT_TRUE(ext[100].done);
        while (!near.plan->iterate_batch_extended(ext.data(), pixels.data(), 256, budget)) {
        }
        for (size_t i = 0; i < 256; ++i) ASSERT_EQ(ext[i].n, expected_ext[i]) << i;
    }
}

TEST(Skipping, PlanCountsItsTableAndGivesThePlainPixels) {
    for (const char* radius : {"1e-100", "1e-320"}) {
        NearI plain(false, radius), skipping(true, radius);
        ASSERT_TRUE(skipping.plan->uses_table());
        EXPECT_FALSE(plain.plan->uses_table());
        EXPECT_GT(skipping.plan->memory_size(), plain.plan->memory_size());
        for (int32_t y = 0; y < 16; y += 3)
            for (int32_t x = 0; x < 16; x += 2)
                EXPECT_EQ(skipping.plan->iterate(x, y), plain.plan->iterate(x, y))
                    << radius << " " << x << "," << y;
        // Building the table and trying it take slices of their own, each
        // making some progress.
        const WideView& wide = *skipping.view.wide();
        PerturbationPlan sliced(skipping.view.grid_coordinates(), wide.radius,
                                std::min(abs(wide.step_x), abs(wide.step_y)), 2000, true);
        int calls = 1;
        while (!sliced.prepare(0.0)) ++calls;
        EXPECT_GT(calls, 2);
        EXPECT_TRUE(sliced.uses_table());
        EXPECT_EQ(sliced.memory_size(), skipping.plan->memory_size());
    }
    // Where the steps save too little against SIMD lanes, the plan keeps to
    // the lanes and lets the table go; one lane gains from them.
    const SimdLevel before = active_simd_level();
    for (const SimdLevel level : {SimdLevel::scalar, best_simd_level()}) {
        set_simd_level(level);
        DeepPlan deep(true), plain(false);
        const bool lanes = level != SimdLevel::scalar;
        EXPECT_EQ(deep.plan->uses_table(), !lanes) << simd_level_name(level);
        if (lanes) {
            EXPECT_EQ(deep.plan->memory_size(), plain.plan->memory_size());
        }
    }
    set_simd_level(before);
}

TEST(Skipping, ModesChooseTheKernel) {
    Fractal view(8, 8);
    view.set_view(BigFloat(kDeepX), BigFloat(kDeepY), 1e-36);
    view.set_max_iterations(kLimit);
    view.prepare(true);
    const struct {
        DeepKernel mode;
        bool skips;
    } cases[] = {{DeepKernel::automatic, true},
                 {DeepKernel::plain, false},
                 {DeepKernel::perturbation, true},
                 {DeepKernel::plain, false}};
    int32_t x = 0;
    for (const auto& c : cases) {
        view.set_deep_kernel(c.mode);
        ASSERT_TRUE(view.perturbed());
        view.pixel_value(x++, 4);
        ASSERT_NE(view.perturbation_plan(), nullptr);
        EXPECT_EQ(view.perturbation_plan()->skipping(), c.skips) << static_cast<int>(c.mode);
    }
}

// The batches on SIMD lanes against one pixel at a time: the same counts,
// escaped z and refusals at every level, paused or not.
struct Reference : TestOrbit {
    std::unique_ptr<BlaTable<double>> table;
    Reference(double cx, double cy, uint32_t limit, double c_max, size_t max_bytes = SIZE_MAX)
        : TestOrbit(cx, cy, limit) {
        table = std::make_unique<BlaTable<double>>(orbit.re(), orbit.im(), orbit.length(), c_max,
                                                   max_bytes);
        while (!table->advance(1.0)) {
        }
    }
};

struct Pixel {
    double dcx, dcy;
};

// Pixels in a square of half-side `half` around the reference, and some given.
std::vector<Pixel> square(double half, int side, std::vector<Pixel> more) {
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            more.push_back(
                {half * (2.0 * x / (side - 1) - 1.0), half * (2.0 * y / (side - 1) - 1.0)});
    return more;
}

// What the pixels met one at a time, for the test to show it covers them.
struct Seen {
    int escaped = 0, refused = 0, at_limit = 0, skipped = 0;
};

void expect_same_as_one_by_one(const OrbitSpan& orbit, const BlaTable<double>& table,
                               uint32_t limit, const std::vector<Pixel>& pixels, Seen& seen) {
    std::vector<uint32_t> counts;
    std::vector<EscapedZ> zs;
    for (const Pixel& p : pixels) {
        uint64_t steps = 0;
        EscapedZ z{};
        counts.push_back(iterate_bla(orbit, table, limit, p.dcx, p.dcy, &steps, &z));
        zs.push_back(z);
        seen.refused += counts.back() == kNeedsOtherReference;
        seen.at_limit += counts.back() == limit;
        seen.escaped += counts.back() != kNeedsOtherReference && counts.back() != limit;
        seen.skipped += steps < counts.back();
    }
    const SimdLevel before = active_simd_level();
    for (int level = 0; level <= static_cast<int>(best_simd_level()); ++level) {
        set_simd_level(static_cast<SimdLevel>(level));
        for (const uint64_t max_steps : {uint64_t{37}, UINT64_MAX}) {
            std::vector<Orbit> records;
            for (const Pixel& p : pixels) records.push_back(fresh_perturbed(p.dcx, p.dcy));
            Budget budget;
            budget.max_steps = max_steps;
            // First until one pixel is done, then to the end.
            Budget until;
            until.wanted = &records[pixels.size() / 2];
            iterate_bla_batch(orbit, table, limit, records.data(), records.size(), until);
            EXPECT_TRUE(records[pixels.size() / 2].done);
            int calls = 0;
            while (!iterate_bla_batch(orbit, table, limit, records.data(), records.size(), budget))
                ASSERT_LT(++calls, 1000000);
            for (size_t i = 0; i < pixels.size(); ++i) {
                const std::string where =
                    std::string(simd_level_name(static_cast<SimdLevel>(level))) + " steps " +
                    std::to_string(max_steps) + " pixel " + std::to_string(i);
                ASSERT_TRUE(records[i].done) << where;
                EXPECT_EQ(records[i].n, counts[i]) << where;
                EXPECT_EQ(records[i].x, zs[i].x) << where;
                EXPECT_EQ(records[i].y, zs[i].y) << where;
            }
        }
    }
    set_simd_level(before);
}

TEST(SkippingLanes, GiveTheOnePixelCountsEscapesAndRefusals) {
    Seen seen;
    // A public location at 2e-50: pixels go back to linear steps after runs
    // of single ones, and rebase; the escapes of some are kept only as the
    // linear steps summed fewer error terms than their counts.
    {
        constexpr uint32_t kCut = kPublic2e50Limit;
        const PlannedView planned = public_view_at_2e50(9);
        PerturbationPlan& plan = *planned.plan;
        const ReferenceOrbit& o = plan.main_orbit();
        const OrbitSpan orbit{o.re(), o.im(), o.length(), o.escaped()};
        BlaTable<double> table(orbit.re, orbit.im, orbit.length, 3e-50);
        while (!table.advance(1.0)) {
        }
        std::vector<Pixel> pixels;
        for (int32_t y = 0; y < 9; ++y)
            for (int32_t x = 0; x < 9; ++x)
                pixels.push_back({plan.column_offsets()[x], plan.row_offsets()[y]});
        expect_same_as_one_by_one(orbit, table, kCut, pixels, seen);
        // The same on a table cut to an eighth of its memory, whose steps
        // start only at every 32nd index or beyond.
        BlaTable<double> cut(orbit.re, orbit.im, orbit.length, 3e-50, table.memory_size() / 8);
        while (!cut.advance(1.0)) {
        }
        ASSERT_GE(cut.first_level(), BlaTable<double>::kLowestLevel + 3);
        expect_same_as_one_by_one(orbit, cut, kCut, pixels, seen);
    }
    // Beside c = i, deep enough for linear steps between runs of single ones,
    // and near the boundary, with longer counts and no linear steps.
    {
        const Reference ref(0.0, 1.0, 2000, 3e-60);
        expect_same_as_one_by_one(ref.span(), *ref.table, 2000, square(2e-60, 9, {}), seen);
    }
    {
        const Reference ref(-0.743643887037151, 0.131825904205330, 20000, 4e-9);
        expect_same_as_one_by_one(ref.span(), *ref.table, 20000, square(2e-9, 5, {}), seen);
    }
    // Inside, on a reference cut at 300 that the pixels wrap round: their
    // states repeat, and cycles carry them to a limit far beyond their steps.
    {
        const Reference ref(-0.1, 0.05, 300, 0.05);
        expect_same_as_one_by_one(ref.span(), *ref.table, 4000000000u,
                                  square(0.02, 6, {{0.0, 0.0}}), seen);
    }
    // On a reference escaping after a dozen steps: a pixel at 0 rebasing at
    // every step, one of period 2 through 0, one converging to a fixed point,
    // one escaping, and ones outlasting the reference without a rebase.
    {
        const Reference ref(0.3, 0.0, 1000, 1.5);
        ASSERT_TRUE(ref.orbit.escaped());
        std::vector<Pixel> pixels{{-0.3, 0.0}, {-1.3, 0.0}, {-0.4, 0.1}, {-1.05, 0.1}, {-0.2, 0.6}};
        for (int i = 1; i <= 40; ++i) pixels.push_back({-0.0005 * i, 1e-4});
        expect_same_as_one_by_one(ref.span(), *ref.table, 100000, pixels, seen);
    }
    EXPECT_GT(seen.escaped, 40);
    EXPECT_GT(seen.at_limit, 10);
    EXPECT_GT(seen.refused, 0);
    EXPECT_GT(seen.skipped, 40);
}

TEST(SkippingLanes, FollowLimitsThatCutStepsShort) {
    Seen seen;
    // Limits that leave the longest steps no room, a step short of, at and a
    // step past a level's length, on pixels inside that converge along
    // linear steps, and beside c = i on a table cut to fit a small memory.
    const Reference inside(-0.1, 0.05, 5000, 1e-3);
    for (const uint32_t limit : {300u, 1023u, 1024u, 1025u, 1500u, 4999u})
        expect_same_as_one_by_one(inside.span(), *inside.table, limit, square(1e-3, 5, {}), seen);
    const Reference full(0.0, 1.0, 2000, 3e-60);
    const Reference cut(0.0, 1.0, 2000, 3e-60, full.table->memory_size() / 8);
    for (const uint32_t limit : {150u, 161u, 2000u})
        expect_same_as_one_by_one(cut.span(), *cut.table, limit, square(2e-60, 7, {}), seen);
    EXPECT_GT(seen.escaped, 40);
    EXPECT_GT(seen.at_limit, 150);
    EXPECT_GT(seen.skipped, 200);
}

TEST(SkippingLanes, TakeStatesWhoseRealPartAloneRepeats) {
    Seen seen;
    // Beside c = -1, whose orbit is 0, -1, 0, ...: a pixel at the reference
    // keeps dz = 0 at both parities of the index, others settle on exact
    // cycles, some with dz real, and ones further out escape.
    const Reference ref(-1.0, 0.0, 3000, 0.3);
    std::vector<Pixel> pixels{{0.0, 0.0}, {1e-3, 0.0}, {-1e-3, 0.0}, {0.0, 1e-3}, {0.26, 0.0}};
    for (const Pixel& p : square(0.25, 5, {})) pixels.push_back(p);
    expect_same_as_one_by_one(ref.span(), *ref.table, 1000000, pixels, seen);
    EXPECT_GT(seen.at_limit, 5);
    EXPECT_GT(seen.escaped, 3);
}

}  // namespace
}  // namespace quorvel
