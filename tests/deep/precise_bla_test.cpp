// Linear steps in wider arithmetic: on the pixels of a public 2e-50 view whose
// counts doubles cannot vouch for, they give the counts of single steps and
// of MPFR with far fewer steps; their tables are built in slices within their
// share of memory, and the plan takes them when linear steps are on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <type_traits>
#include <vector>

#include "base/stopwatch.h"
#include "deep/perturbation_plan.h"
#include "deep/perturbation_precise.h"
#include "deep/precise_bla_table.h"
#include "mpfr_count.h"
#include "view/fractal.h"

namespace quorvel {
namespace {

const char* const kX =
    "-0.04947002906310409375169222672735363011874571248822487931810494023264219477268690342799154"
    "99747594190000000000000000000";
const char* const kY =
    "-0.67478757584467536401139205313059765633477070682240348069799979479099419834548451115142084"
    "99540310299999999999999999880";
constexpr uint32_t kLimit = 263010;
constexpr int32_t kSide = 32;

struct View {
    Fractal view{kSide, kSide};
    std::unique_ptr<PerturbationPlan> plan;
    explicit View(bool skipping) {
        view.set_view(*WideReal::parse(kX), *WideReal::parse(kY), parse_radius("2e-50").value());
        view.set_max_iterations(kLimit);
        view.prepare(true);
        const WideView& wide = *view.wide();
        plan = std::make_unique<PerturbationPlan>(view.grid_coordinates(), wide.radius,
                                                  std::min(abs(wide.step_x), abs(wide.step_y)),
                                                  kLimit, skipping);
        while (!plan->prepare(1.0)) {
        }
    }
    // Pixels whose counts the double kernel leaves to other references.
    const std::vector<int32_t>& undecided() {
        const ReferenceOrbit& o = plan->main_orbit();
        const OrbitSpan span{o.re(), o.im(), o.length(), o.escaped()};
        if (!undecided_.empty()) return undecided_;
        for (int32_t p = 0; p < kSide * kSide; ++p)
            if (iterate_perturbed(span, kLimit, plan->column_offsets()[p % kSide],
                                  plan->row_offsets()[p / kSide]) == kNeedsOtherReference)
                undecided_.push_back(p);
        return undecided_;
    }
    std::vector<int32_t> undecided_;
    uint32_t mpfr(int32_t p) const {
        const long bits = reference_bits(view.exact_radius());
        MpfrNumber cx(bits), cy(bits);
        view.grid_coordinates().set_column(cx.get(), p % kSide);
        view.grid_coordinates().set_row(cy.get(), p / kSide);
        return sample::mpfr_count(cx.get(), cy.get(), kLimit, bits);
    }
};

// The skipping plan, made once: its search costs more than most tests.
View& skipping_view() {
    static View v(true);
    return v;
}

long double largest_offset(const PerturbationPlan& plan) {
    DoubleDouble x, y;
    LongDoubleDouble wx, wy;
    long double most = 0.0L;
    for (int32_t c : {0, kSide - 1}) {
        for (int32_t r : {0, kSide - 1}) {
            plan.precise_offset(c, r, x, y, wx, wy);
            most = std::max(most, std::sqrt(wx.hi * wx.hi + wy.hi * wy.hi));
        }
    }
    return most * 1.001L;
}

// Both tables of wider arithmetic for the view's pixels, complete.
struct Tables {
    PreciseBlaTable<long double> wide;
    PreciseBlaTable<DoubleDouble> dd;
    explicit Tables(const PerturbationPlan& plan)
        : wide(plan.precise_orbit(), largest_offset(plan), SIZE_MAX),
          dd(plan.precise_orbit(), largest_offset(plan), SIZE_MAX) {
        while (!wide.advance(1.0) || !dd.advance(1.0)) {
        }
    }
};

// A pixel run to its end in T, with or without linear steps: its count and
// the steps taken.
template <class T>
uint32_t run(const PreciseOrbitSpan& orbit, T dcx, T dcy, const PreciseBlaTable<T>* table,
             uint64_t& steps) {
    PreciseState<T> s;
    uint32_t n = 0;
    while (!precise_steps(orbit, kLimit, dcx, dcy, s, 4096, n, table)) steps += 4096;
    return n;
}

TEST(PreciseBla, SensitivePixelsGetTheCountsOfSingleStepsAndMpfrWithFarFewerSteps) {
    View& v = skipping_view();
    ASSERT_TRUE(v.plan->uses_table());
    const PreciseOrbitSpan orbit = v.plan->precise_orbit();
    Tables tables(*v.plan);
    const PreciseBlaTable<long double>& wide = tables.wide;
    const PreciseBlaTable<DoubleDouble>& dd = tables.dd;
    const std::vector<int32_t>& pixels = v.undecided();
    ASSERT_GE(pixels.size(), 3u);
    uint64_t single = 0, linear = 0;
    int twofold = 0;
    for (int32_t p : pixels) {
        DoubleDouble x, y;
        LongDoubleDouble wx, wy;
        v.plan->precise_offset(p % kSide, p / kSide, x, y, wx, wy);
        uint32_t n = run(orbit, wx.hi, wy.hi, &wide, linear);
        ASSERT_EQ(n, run<long double>(orbit, wx.hi, wy.hi, nullptr, single)) << p;
        const bool needs_twofold = n == kNeedsOtherReference;
        if (needs_twofold) {
            // Long double cannot vouch for it either: double-doubles.
            ++twofold;
            n = run(orbit, x, y, &dd, linear);
            ASSERT_EQ(n, run<DoubleDouble>(orbit, x, y, nullptr, single)) << p;
        }
        ASSERT_NE(n, kNeedsOtherReference) << p;
        // MPFR's orbits are long: every twofold pixel, and one other.
        if (needs_twofold || p == pixels.front()) {
            EXPECT_EQ(n, v.mpfr(p)) << p;
        }
    }
    EXPECT_GT(twofold, 0);
    EXPECT_LT(linear * 4, single);
}

TEST(PreciseBla, TablesAreBuiltInSlicesWithinTheirMemory) {
    View& v = skipping_view();
    const PreciseOrbitSpan orbit = v.plan->precise_orbit();
    const long double c_max = largest_offset(*v.plan);
    PreciseBlaTable<DoubleDouble> whole(orbit, c_max, SIZE_MAX);
    ASSERT_TRUE(whole.advance(10.0));
    EXPECT_EQ(whole.first_level(), PreciseBlaTable<DoubleDouble>::kLowestLevel);
    // A tenth of its memory: higher first levels, as many calls as it takes.
    const size_t bytes = whole.memory_size() / 10;
    PreciseBlaTable<DoubleDouble> small(orbit, c_max, bytes);
    int calls = 1;
    while (!small.advance(0.0)) ++calls;
    EXPECT_GT(calls, 10);
    EXPECT_LE(small.memory_size(), bytes);
    EXPECT_GT(small.first_level(), whole.first_level());

    // The plan builds its tables at the first pixel that needs them, within
    // budgets of no time at all, and counts them in its memory.
    ASSERT_FALSE(v.undecided().empty());
    const int32_t p = v.undecided().front();
    const size_t before = v.plan->memory_size();
    Stopwatch watch;
    const Budget none{&watch, 0.0};
    uint32_t n = 0;
    int slices = 0;
    for (; n == 0 && slices < 100000; ++slices) n = v.plan->resolve(p % kSide, p / kSide, none);
    EXPECT_GT(slices, 1);
    EXPECT_GT(v.plan->memory_size(), before + 1000000);
    EXPECT_EQ(n, v.mpfr(p));
    // Plain steps keep stepping every iteration: no tables.
    View plain(false);
    const size_t plain_before = plain.plan->memory_size();
    EXPECT_EQ(plain.plan->iterate_elsewhere(p % kSide, p / kSide), n);
    EXPECT_EQ(plain.plan->memory_size(), plain_before);
}

// How far a pixel's offset, run in T to just before its escape, lies from
// its exact offset, and the error sum the kernel kept for it.
template <class T>
void stray(View& v, int32_t p, T dcx, T dcy, const PreciseBlaTable<T>* table, double& miss,
           double& sum) {
    const PreciseOrbitSpan orbit = v.plan->precise_orbit();
    PreciseState<T> s, last;
    uint32_t n = 0;
    // One step a call: the state before the last step stays.
    do {
        last = s;
    } while (!precise_steps(orbit, kLimit, dcx, dcy, s, 1, n, table));
    ASSERT_GT(last.n, 1000u);
    const long bits = 512;
    MpfrNumber cx(bits), cy(bits), x(bits), y(bits), xx(bits), yy(bits), xy(bits);
    v.view.grid_coordinates().set_column(cx.get(), p % kSide);
    v.view.grid_coordinates().set_row(cy.get(), p / kSide);
    mpfr_set_zero(x.get(), 1);
    mpfr_set_zero(y.get(), 1);
    for (uint32_t k = 0; k < last.n; ++k) {
        mpfr_sqr(xx.get(), x.get(), MPFR_RNDN);
        mpfr_sqr(yy.get(), y.get(), MPFR_RNDN);
        mpfr_mul(xy.get(), x.get(), y.get(), MPFR_RNDN);
        mpfr_sub(x.get(), xx.get(), yy.get(), MPFR_RNDN);
        mpfr_add(x.get(), x.get(), cx.get(), MPFR_RNDN);
        mpfr_mul_2ui(y.get(), xy.get(), 1, MPFR_RNDN);
        mpfr_add(y.get(), y.get(), cy.get(), MPFR_RNDN);
    }
    // Exact offset: z minus the reference's value, then minus the kernel's.
    auto off = [&](MpfrNumber& z, const double* hi, const double* lo, long double d, double d_lo) {
        mpfr_sub_d(z.get(), z.get(), hi[last.m], MPFR_RNDN);
        mpfr_sub_d(z.get(), z.get(), lo[last.m], MPFR_RNDN);
        mpfr_sub_d(z.get(), z.get(), d_lo, MPFR_RNDN);
        MpfrNumber t(bits);
        mpfr_set_ld(t.get(), d, MPFR_RNDN);
        mpfr_sub(z.get(), z.get(), t.get(), MPFR_RNDN);
        return mpfr_get_d(z.get(), MPFR_RNDN);
    };
    double ex = 0, ey = 0;
    if constexpr (std::is_same_v<T, long double>) {
        ex = off(x, orbit.re, orbit.re_low, last.dx, 0.0);
        ey = off(y, orbit.im, orbit.im_low, last.dy, 0.0);
    } else {
        ex = off(x, orbit.re, orbit.re_low, last.dx.hi, last.dx.lo);
        ey = off(y, orbit.im, orbit.im_low, last.dy.hi, last.dy.lo);
    }
    miss = std::hypot(ex, ey);
    sum = static_cast<double>(last.sum);
}

// The sum of the error terms' magnitudes bounds how far offsets in wider
// arithmetic stray from exact ones, with linear steps or without: on the
// pixels doubles leave undecided, up to the test before their escape.
TEST(PreciseBla, ErrorSumsBoundTheOffsetsDistanceFromExactArithmetic) {
    View& v = skipping_view();
    const Tables tables(*v.plan);
    const std::vector<int32_t>& pixels = v.undecided();
    ASSERT_GE(pixels.size(), 2u);
    int strayed = 0;
    for (size_t k = 0; k < 2; ++k) {
        const int32_t p = pixels[k];
        DoubleDouble x, y;
        LongDoubleDouble wx, wy;
        v.plan->precise_offset(p % kSide, p / kSide, x, y, wx, wy);
        double miss = 0, sum = 0;
        stray(v, p, wx.hi, wy.hi, &tables.wide, miss, sum);
        EXPECT_LE(miss, sum) << p;
        strayed += miss > 0.0;
        stray<long double>(v, p, wx.hi, wy.hi, nullptr, miss, sum);
        EXPECT_LE(miss, sum) << p;
        stray(v, p, x, y, &tables.dd, miss, sum);
        EXPECT_LE(miss, sum) << p;
    }
    EXPECT_GT(strayed, 0);
}

// A complex number in MPFR, precise enough for exact perturbation here.
struct Exact {
    MpfrNumber re{400}, im{400};
    Exact(DoubleDouble x, DoubleDouble y) {
        mpfr_set_d(re.get(), x.hi, MPFR_RNDN);
        mpfr_add_d(re.get(), re.get(), x.lo, MPFR_RNDN);
        mpfr_set_d(im.get(), y.hi, MPFR_RNDN);
        mpfr_add_d(im.get(), im.get(), y.lo, MPFR_RNDN);
    }
    // this += a b
    void add_product(const Exact& a, const Exact& b) {
        MpfrNumber t(400);
        mpfr_mul(t.get(), a.re.get(), b.re.get(), MPFR_RNDN);
        mpfr_add(re.get(), re.get(), t.get(), MPFR_RNDN);
        mpfr_mul(t.get(), a.im.get(), b.im.get(), MPFR_RNDN);
        mpfr_sub(re.get(), re.get(), t.get(), MPFR_RNDN);
        mpfr_mul(t.get(), a.re.get(), b.im.get(), MPFR_RNDN);
        mpfr_add(im.get(), im.get(), t.get(), MPFR_RNDN);
        mpfr_mul(t.get(), a.im.get(), b.re.get(), MPFR_RNDN);
        mpfr_add(im.get(), im.get(), t.get(), MPFR_RNDN);
    }
    double distance(const Exact& b) const {
        MpfrNumber x(400), y(400);
        mpfr_sub(x.get(), re.get(), b.re.get(), MPFR_RNDN);
        mpfr_sub(y.get(), im.get(), b.im.get(), MPFR_RNDN);
        return std::hypot(mpfr_get_d(x.get(), MPFR_RNDN), mpfr_get_d(y.get(), MPFR_RNDN));
    }
};

// The offset dz that l exact iterations from index m take dz0 to.
void perturb(const PreciseOrbitSpan& orbit, uint32_t m, uint32_t l, const Exact& dz0,
             const Exact& dc, Exact& dz) {
    mpfr_set(dz.re.get(), dz0.re.get(), MPFR_RNDN);
    mpfr_set(dz.im.get(), dz0.im.get(), MPFR_RNDN);
    for (uint32_t j = m; j < m + l; ++j) {
        // dz <- (2 Z + dz) dz + dc
        Exact a({2.0 * orbit.re[j], 2.0 * orbit.re_low[j]},
                {2.0 * orbit.im[j], 2.0 * orbit.im_low[j]});
        mpfr_add(a.re.get(), a.re.get(), dz.re.get(), MPFR_RNDN);
        mpfr_add(a.im.get(), a.im.get(), dz.im.get(), MPFR_RNDN);
        Exact next({0.0, 0.0}, {0.0, 0.0});
        mpfr_set(next.re.get(), dc.re.get(), MPFR_RNDN);
        mpfr_set(next.im.get(), dc.im.get(), MPFR_RNDN);
        next.add_product(a, dz);
        mpfr_swap(dz.re.get(), next.re.get());
        mpfr_swap(dz.im.get(), next.im.get());
    }
}

// Steps of the double-double table land where exact perturbation does within
// their dropped terms and the rounding the kernel adds for them: from offsets
// within their radii, whose dropped terms stay within a few times epsilon
// of the kept ones, and (first order still) far beyond, where they mostly
// outweigh the rounding.
TEST(PreciseBla, StepsBoundWhatTheyDropBesideExactArithmetic) {
    View& v = skipping_view();
    const PreciseOrbitSpan orbit = v.plan->precise_orbit();
    const long double c_max = largest_offset(*v.plan);
    PreciseBlaTable<DoubleDouble> table(orbit, c_max, SIZE_MAX);
    ASSERT_TRUE(table.advance(10.0));
    const double c = 0.9 * static_cast<double>(c_max);
    const Exact dc({c * std::cos(0.7), 0.0}, {c * std::sin(0.7), 0.0});
    int checked = 0, outweighed = 0;
    uint32_t longest = 0;
    for (uint32_t m = 1; m + 1 < orbit.length; m += 97u << table.first_level()) {
        uint32_t l = 0;
        const PreciseBlaStep<DoubleDouble>* s = table.find(m, 0.0L, 1u << 14, l);
        if (!s) continue;
        for (double scale : {0.5, 1024.0}) {
            const double d = scale * std::sqrt(static_cast<double>(s->r2));
            const Exact dz0({d * std::cos(1.9), 0.0}, {d * std::sin(1.9), 0.0});
            Exact linear({0.0, 0.0}, {0.0, 0.0});
            linear.add_product(Exact(s->ar, s->ai), dz0);
            linear.add_product(Exact(s->br, s->bi), dc);
            Exact end({0.0, 0.0}, {0.0, 0.0});
            perturb(orbit, m, l, dz0, dc, end);
            const double miss = linear.distance(end);
            const double dropped = static_cast<double>((s->p * d + s->q * c) * d + s->s * c * c);
            const double size =
                std::hypot(s->ar.hi, s->ai.hi) * d + std::hypot(s->br.hi, s->bi.hi) * c;
            const double rounding = std::sqrt((l + 4.0) * 0x1p-200) * size;
            EXPECT_LE(miss, dropped + rounding) << m << " " << l << " " << scale;
            if (scale < 1.0) {
                EXPECT_LT(dropped, 16.0 * precise_bla_epsilon(DoubleDouble{}) * size) << m;
            } else {
                outweighed += dropped > rounding;
            }
        }
        longest = std::max(longest, l);
        ++checked;
    }
    EXPECT_GT(checked, 100);
    EXPECT_GT(outweighed, checked * 3 / 4);
    EXPECT_GE(longest, 1024u);
}

}  // namespace
}  // namespace quorvel
