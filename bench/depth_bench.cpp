// Views of any depth, in one run (the machine may be shared: compare ratios):
//   - accuracy: sampled pixels (counts, and smooth values s) against MPFR at
//     the depth's precision and at 64 bits more (only pixels where the two
//     agree), beside the Misiurewicz point c = i from 1e-60 to 1e-5000, and on
//     three public deep locations with limits of 10^5 to 1.2 x 10^6
//     iterations;
//   - cost: CPU ns per pixel-iteration of the perturbation kernel at each
//     depth on one view shape, double offsets against extended ones, at every
//     SIMD level;
//   - time slices: the longest qv_refine_image call at 1e-1000 and 1e-5000
//     with limit 10^6, reference orbit included;
//   - memory: peak resident memory over a 256-view session zooming from 1e-30
//     to 1e-1000 with a 96 MB budget;
//   - skipping: brute force with linear steps against plain perturbation on
//     the public locations at 2e-50 and 4e-228 (CPU time, bytes differing),
//     the steps per pixel of each, the references each built, and on the
//     sampled pixels of the accuracy views, skipping against plain.
#include <benchmark/benchmark.h>
#include <quorvel.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "deep/perturbation_batch.h"
#include "deep/perturbation_plan.h"
#include "deep/perturbation_precise.h"
#include "deep/precise_bla_table.h"
#include "mpfr_count.h"
#include "skip_steps.h"
#include "view/fractal.h"

namespace {

using namespace quorvel;

struct DeepView {
    std::string name;
    std::string x, y, radius;
    uint32_t limit;
};

// Beside c = i: detail at every depth, about 2.65 iterations a decade. The
// centre is moved by far less than a pixel, so that it carries every bit.
DeepView misiurewicz(int decades) {
    const std::string r = "1e-" + std::to_string(decades);
    return {"i " + r, "1e-" + std::to_string(decades + 20), "1", r,
            static_cast<uint32_t>(3 * decades + 2000)};
}

// A public deep location, posted with 672 digits, rendered by its author at
// 4.4e-311 (60,000 iterations) and 8.4e-612 (220,000 iterations).
const char* const kPublicX =
    "0.360240443437614363236125244449545308482607807958585750488375814740195346059218100311752936"
    "722773426396233731729724987737320035372683285317664532401218521579554288661726564324134702299"
    "962817029213329980895208036363104546639698106204384566555001322985619004717862781192694046362"
    "748742863016467354574422779443226982622356594130430232458472420816652623492974891730419252651"
    "127672782407292315574480207005828774566475024380960675386215814315654794021855269375824443853"
    "463117354448779647099224311848192893972572398662626725254769950976527431277402440752868498588"
    "785436705371093442460696090720654908973712759963732914849861213100695402602927267843779747314"
    "419332179148608587129105289166676461292845685734536033692577618496925170576714796693411776794"
    "742904333484665301628662532967079174729170714156810530598764525260869731233845987202037712637"
    "770582084286587072766838497865108477149114659838883818795374195150936369987302574377608649625"
    "020864292915913378927790344097552591919409137354459097560040374880346637533711271919419723135"
    "538377394364882968994646845930838049998854075817859391340445151448381853615103761584177161812"
    "057928";
const char* const kPublicY =
    "-0."
    "64131306106480317486037501517930206657949495228230525955617754306444857417275369025563702306"
    "896811623707405655370721497901069732111052737408519933948032874376062385962622877310759994839"
    "404671612888406145810912943257099889922691650073943057326832083188346723669475507109200885016"
    "557042523852444811688364262770522325934129814722379683536614777935303366072477389516258177554"
    "010650453622730397883322455673450616657567086893592945166682714405252736530837178777012377561"
    "442143948702455985908839737165316911242866695528036404140685233252768089090403176170926838265"
    "215015399323972620120110820987219446431186950012260489774300385094701017155554390478847520583"
    "348048913896855309461126215734165824829262218047674662583460144179343561498373520926088916390"
    "727459306393646935132167191145233289906900695886760879236566576560237944843247975460242483281"
    "565864716626310087413490699614938176001001334397215579692632211850959512414914087567515824713"
    "075373828279240737467608840817048879020400360566114013787859524521050992424992410032080134608"
    "784429534086481786923537881537872299402216117310344052035199453139116273149008518510721229904"
    "92499999999999999999991";

// Two more public locations, posted with their zooms and limits: one at
// 2e-50 whose pixels escape near 170,000 iterations, and one at 4e-228 with a
// limit of 1.2 x 10^6.
const char* const kE50X =
    "-0."
    "04947002906310409375169222672735363011874571248822487931810494023264219477268690342799154997"
    "47594190000000000000000000";
const char* const kE50Y =
    "-0."
    "67478757584467536401139205313059765633477070682240348069799979479099419834548451115142084995"
    "40310299999999999999999880";
const char* const kE227X =
    "-0."
    "74962449737876168207862620426836138684529527812364025754481571424558286479672801698750203976"
    "7791356081486877471965951748581253882975777885730827532104698067397213779012974511726247624509"
    "4"
    "0529814713048377873612297220313016947039287469999999999999998999999999999999999999949999999999"
    "9"
    "999999980";
const char* const kE227Y =
    "0."
    "034270108740460169451729515457494748680515346724391118531748547383705957729359301718429997787"
    "1322279421545343662899820059191420820763267478078097849678484380769051040182930130906954219841"
    "3"
    "5743924258851663672311920874163384970654955099999999999999990000000000000000000000000000000000"
    "0"
    "00000000";

std::vector<DeepView> accuracy_views() {
    std::vector<DeepView> v;
    for (int d : {60, 100, 300, 320, 1000, 3000, 5000}) v.push_back(misiurewicz(d));
    v.push_back({"public 4.4e-311", kPublicX, kPublicY, "4.4e-311", 100000});
    v.push_back({"public 1e-450", kPublicX, kPublicY, "1e-450", 150000});
    v.push_back({"public 8.4e-612", kPublicX, kPublicY, "8.4e-612", 220000});
    v.push_back({"public 2e-50", kE50X, kE50Y, "2e-50", 263010});
    v.push_back({"public 4e-228", kE227X, kE227Y, "4e-228", 1200000});
    return v;
}

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

std::unique_ptr<Fractal> make_view(const DeepView& v, int32_t side,
                                   DeepKernel mode = DeepKernel::automatic) {
    auto f = std::make_unique<Fractal>(side, side);
    f->set_deep_kernel(mode);
    f->set_view(*WideReal::parse(v.x), *WideReal::parse(v.y), *parse_radius(v.radius));
    f->set_max_iterations(v.limit);
    f->prepare(true);
    return f;
}

std::map<std::string, double> g_figures;

// Sampled pixels of a 400 x 400 view against MPFR (the default kernel, which
// skips), and the same pixels with plain perturbation; with smooth colouring
// on, the largest difference of an escaped pixel's s from MPFR's.
void BM_Accuracy(benchmark::State& state, const DeepView& v, int samples) {
    int compared = 0, wrong = 0, wrong_plain = 0, against_plain = 0;
    double count_sum = 0, s_error = 0, s_error_plain = 0;
    for (auto _ : state) {
        auto view = make_view(v, 400);
        auto plain = make_view(v, 400, DeepKernel::plain);
        view->set_smooth(true);
        plain->set_smooth(true);
        const GridCoordinates grid = view->grid_coordinates();
        const long bits = reference_bits(view->exact_radius());
        std::mt19937_64 random(7);
        std::uniform_int_distribution<int32_t> pick(0, 399);
        MpfrNumber cx(bits + 64), cy(bits + 64);
        for (int k = 0; k < samples; ++k) {
            const int32_t x = pick(random), y = pick(random);
            const uint32_t skipped = view->pixel_value(x, y);
            const uint32_t stepped = plain->pixel_value(x, y);
            against_plain += skipped != stepped;
            grid.set_column(cx.get(), x);
            grid.set_row(cy.get(), y);
            const uint32_t a = sample::mpfr_count(cx.get(), cy.get(), v.limit, bits);
            const sample::MpfrEscape end =
                sample::mpfr_escape(cx.get(), cy.get(), v.limit, bits + 64);
            if (a != end.n) continue;
            ++compared;
            count_sum += a;
            wrong += skipped != sample::pixel_byte(a, v.limit);
            wrong_plain += stepped != sample::pixel_byte(a, v.limit);
            if (a == v.limit) continue;
            const double s = sample::smooth_value(end, v.limit);
            auto s_of = [&](const Fractal& f) {
                const size_t i = static_cast<size_t>(y) * 400 + x;
                return f.image()->counts().get(i) + (f.image()->fractions()[i] - 1.0);
            };
            if (view->pixel_count(x, y) == a)
                s_error = std::max(s_error, std::fabs(s_of(*view) - s));
            if (plain->pixel_count(x, y) == a)
                s_error_plain = std::max(s_error_plain, std::fabs(s_of(*plain) - s));
        }
    }
    state.counters["compared"] = compared;
    state.counters["wrong"] = wrong;
    g_figures[v.name + ": pixels compared with MPFR"] = compared;
    g_figures[v.name + ": % differing from MPFR"] = compared ? 100.0 * wrong / compared : 0.0;
    g_figures[v.name + ": plain, % differing from MPFR"] =
        compared ? 100.0 * wrong_plain / compared : 0.0;
    g_figures[v.name + ": % of all sampled differing, skipping against plain"] =
        100.0 * against_plain / samples;
    g_figures[v.name + ": mean count of the compared pixels"] =
        compared ? count_sum / compared : 0.0;
    g_figures[v.name + ": largest |s - MPFR's s| of escaped pixels"] = s_error;
    g_figures[v.name + ": plain, largest |s - MPFR's s| of escaped pixels"] = s_error_plain;
}

// CPU ns per pixel-iteration of the kernel alone, on a 96 x 96 view of each
// depth beside c = i (reference and offsets made first).
void BM_KernelCost(benchmark::State& state, const DeepView& v, SimdLevel level) {
    set_simd_level(level);
    double ns = 0;
    bool extended = false;
    for (auto _ : state) {
        auto view = make_view(v, 96);
        const WideView& wide = *view->wide();
        PerturbationPlan plan(view->grid_coordinates(), wide.radius,
                              std::min(abs(wide.step_x), abs(wide.step_y)), v.limit);
        while (!plan.prepare(1.0)) {
        }
        extended = plan.extended();
        std::vector<Orbit> records;
        std::vector<uint32_t> pixels;
        for (uint32_t i = 0; i < 96 * 96; ++i) {
            pixels.push_back(i);
            records.push_back(extended ? PerturbationPlan::fresh_extended()
                                       : fresh_perturbed(plan.column_offsets()[i % 96],
                                                         plan.row_offsets()[i / 96]));
        }
        const double start = cpu_seconds();
        if (extended)
            plan.iterate_batch_extended(records.data(), pixels.data(), records.size(), Budget{});
        else
            plan.iterate_batch(records.data(), records.size(), Budget{});
        const double seconds = cpu_seconds() - start;
        uint64_t iterations = 0;
        for (const Orbit& o : records) iterations += o.n;
        ns = 1e9 * seconds / static_cast<double>(iterations);
    }
    const std::string name =
        v.name + (extended ? " extended " : " double ") + simd_level_name(level) + ": ns/iteration";
    state.counters["ns_per_iteration"] = ns;
    g_figures[name] = ns;
    set_simd_level(best_simd_level());
}

long resident_peak_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

// The longest qv_refine_image call at limit 10^6 over the whole picture,
// brute force, 200 x 200, reference orbit included; inside the set (centre
// 0, where every orbit runs to the limit and so does the reference), over
// the first 240 calls.
void BM_LongestSlice(benchmark::State& state, int decades, bool inside) {
    double longest = 0, total = 0;
    int calls = 0;
    for (auto _ : state) {
        DeepView v = misiurewicz(decades);
        if (inside) v = DeepView{"inside", "0", "0", v.radius, v.limit};
        qv_handle h = qv_create_context(96);
        qv_set_image_properties(h, 200, 200, 1, 1.75f);
        qv_set_generator_type(h, 2);
        qv_set_view_from_strings(h, v.x.c_str(), v.y.c_str(), v.radius.c_str());
        qv_adjust_maximum_iterations(h, 1e6f / 150.0f);
        for (calls = 0;; ++calls) {
            const auto t0 = std::chrono::steady_clock::now();
            const bool more = qv_refine_image(h);
            const double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            longest = std::max(longest, t);
            total += t;
            if (!more || (inside && calls == 240)) break;
        }
        qv_delete_context(&h);
    }
    state.counters["longest_call_s"] = longest;
    state.counters["calls"] = calls;
    const std::string name =
        "1e-" + std::to_string(decades) + " limit 10^6" + (inside ? " inside, 240 calls" : "");
    g_figures[name + ": longest qv_refine_image s"] = longest;
    g_figures[name + ": whole picture s"] = total;
}

// A whole picture by brute force with linear steps and with plain
// perturbation, and the steps per pixel of each on sampled pixels.
void BM_Skipping(benchmark::State& state, const DeepView& v, int32_t side) {
    double skipping = 0, plain = 0;
    size_t differing = 0, references_skipping = 0, references_plain = 0;
    size_t own_skipping = 0, own_plain = 0, main_length = 0;
    bool main_escaped = false;
    bench::StepsPerPixel steps;
    for (auto _ : state) {
        auto fast = make_view(v, side, DeepKernel::perturbation);
        const std::vector<uint8_t> a = bench::brute_force(*fast, skipping);
        references_skipping = fast->perturbation_plan()->reference_count();
        own_skipping = fast->perturbation_plan()->own_references_built();
        main_length = fast->perturbation_plan()->main_orbit().length();
        main_escaped = fast->perturbation_plan()->main_orbit().escaped();
        auto slow = make_view(v, side, DeepKernel::plain);
        const std::vector<uint8_t> b = bench::brute_force(*slow, plain);
        references_plain = slow->perturbation_plan()->reference_count();
        own_plain = slow->perturbation_plan()->own_references_built();
        differing = 0;
        for (size_t i = 0; i < a.size(); ++i) differing += a[i] != b[i];
        steps = bench::steps_per_pixel(*fast, 200);
    }
    const std::string name = v.name + " " + std::to_string(side) + "x" + std::to_string(side);
    state.counters["times_faster"] = plain / skipping;
    g_figures[name + ": skipping cpu s"] = skipping;
    g_figures[name + ": plain cpu s"] = plain;
    g_figures[name + ": skipping, times faster than plain"] = plain / skipping;
    g_figures[name + ": % bytes differing, skipping against plain"] =
        100.0 * differing / (double(side) * side);
    g_figures[name + ": steps per pixel, plain"] = steps.plain;
    g_figures[name + ": steps per pixel, skipping"] = steps.skipping;
    g_figures[name + ": references kept, plain"] = static_cast<double>(references_plain);
    g_figures[name + ": references kept, skipping"] = static_cast<double>(references_skipping);
    g_figures[name + ": main reference values"] = static_cast<double>(main_length);
    g_figures[name + ": main reference escapes"] = main_escaped ? 1.0 : 0.0;
    g_figures[name + ": own references built, plain"] = static_cast<double>(own_plain);
    g_figures[name + ": own references built, skipping"] = static_cast<double>(own_skipping);
    g_figures[name + ": sampled pixels decided by the main reference in both"] = steps.pixels;
    g_figures[name + ": sampled pixels left to other references, plain"] = steps.undecided_plain;
    g_figures[name + ": sampled pixels left to other references, skipping"] =
        steps.undecided_skipping;
}

// Steps per pixel on 200 sampled pixels of a 400 x 400 view, with and without
// linear steps, and the pixels each leaves to other references.
void BM_Steps(benchmark::State& state, const DeepView& v) {
    bench::StepsPerPixel steps;
    for (auto _ : state) {
        auto view = make_view(v, 400);
        steps = bench::steps_per_pixel(*view, 200);
    }
    state.counters["plain"] = steps.plain;
    state.counters["skipping"] = steps.skipping;
    state.counters["undecided_plain"] = steps.undecided_plain;
    state.counters["undecided_skipping"] = steps.undecided_skipping;
    g_figures[v.name + ": steps per pixel, plain"] = steps.plain;
    g_figures[v.name + ": steps per pixel, skipping"] = steps.skipping;
    g_figures[v.name + ": of 200 sampled, left to other references, plain"] = steps.undecided_plain;
    g_figures[v.name + ": of 200 sampled, left to other references, skipping"] =
        steps.undecided_skipping;
}

// Wider arithmetic on the pixels of a side x side view that the double kernel
// (single steps) leaves to other references: pixels each arithmetic gets and
// decides, its steps a pixel and its cost a step, with linear steps as the
// plan takes them. Offsets of the view must fit doubles.
void BM_Wider(benchmark::State& state, const DeepView& v, int32_t side) {
    double seconds[2] = {0, 0};
    uint64_t steps[2] = {0, 0};
    int pixels[2] = {0, 0}, decided[2] = {0, 0};
    for (auto _ : state) {
        auto view = make_view(v, side, DeepKernel::perturbation);
        const WideView& w = *view->wide();
        PerturbationPlan plan(view->grid_coordinates(), w.radius,
                              std::min(abs(w.step_x), abs(w.step_y)), v.limit, true);
        while (!plan.prepare(1.0)) {
        }
        const PreciseOrbitSpan orbit = plan.precise_orbit();
        const ReferenceOrbit& o = plan.main_orbit();
        const OrbitSpan span{o.re(), o.im(), o.length(), o.escaped()};
        std::vector<int32_t> undecided;
        for (int32_t p = 0; p < side * side; ++p)
            if (iterate_perturbed(span, v.limit, plan.column_offsets()[p % side],
                                  plan.row_offsets()[p / side]) == kNeedsOtherReference)
                undecided.push_back(p);
        long double c_max = 0.0L;
        for (int32_t p : {0, side - 1, side * (side - 1), side * side - 1}) {
            DoubleDouble x, y;
            LongDoubleDouble wx, wy;
            plan.precise_offset(p % side, p / side, x, y, wx, wy);
            c_max = std::max(c_max, std::sqrt(wx.hi * wx.hi + wy.hi * wy.hi));
        }
        PreciseBlaTable<long double> wide(orbit, c_max * 1.001L, SIZE_MAX);
        PreciseBlaTable<DoubleDouble> dd(orbit, c_max * 1.001L, SIZE_MAX);
        while (!wide.advance(1.0) || !dd.advance(1.0)) {
        }
        auto run = [&](auto dcx, auto dcy, const auto* table, int tier) {
            using T = decltype(dcx);
            PreciseState<T> s;
            uint32_t n = 0;
            const auto start = std::chrono::steady_clock::now();
            while (!precise_steps(orbit, v.limit, dcx, dcy, s, 1024, n, table)) steps[tier] += 1024;
            seconds[tier] +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            ++pixels[tier];
            decided[tier] += n != kNeedsOtherReference;
            return n;
        };
        for (int32_t p : undecided) {
            DoubleDouble x, y;
            LongDoubleDouble wx, wy;
            plan.precise_offset(p % side, p / side, x, y, wx, wy);
            if (run(wx.hi, wy.hi, &wide, 0) == kNeedsOtherReference) run(x, y, &dd, 1);
        }
    }
    const char* names[2] = {"long double", "twofold"};
    for (int t = 0; t < 2; ++t) {
        const std::string name = v.name + " " + std::to_string(side) + "x" + std::to_string(side) +
                                 ", " + names[t] + ": ";
        g_figures[name + "pixels"] = pixels[t];
        g_figures[name + "decided"] = decided[t];
        // Steps are counted a slice of 1024 at a time: whole slices only.
        g_figures[name + "steps per pixel (whole slices)"] =
            pixels[t] ? static_cast<double>(steps[t]) / pixels[t] : 0.0;
        g_figures[name + "us per pixel"] = pixels[t] ? 1e6 * seconds[t] / pixels[t] : 0.0;
    }
    state.counters["long_double_s"] = seconds[0];
    state.counters["twofold_s"] = seconds[1];
}

// 256 views from 1e-30 to 1e-1000 beside c = i, two slices each, 96 MB.
void BM_SessionMemory(benchmark::State& state) {
    long peak = 0;
    for (auto _ : state) {
        qv_handle h = qv_create_context(96);
        qv_set_image_properties(h, 320, 240, 1, 1.75f);
        const DeepView v = misiurewicz(1000);
        qv_set_view_from_strings(h, v.x.c_str(), v.y.c_str(), "1e-30");
        qv_adjust_maximum_iterations(h, 5000.0f / 150.0f);
        const float factor = static_cast<float>(std::pow(10.0, 970.0 / 255.0));
        for (int k = 0; k < 256; ++k) {
            if (k > 0) qv_zoom_centered(h, factor);
            for (int s = 0; s < 2 && qv_refine_image(h); ++s) {
            }
            qv_refine_history(h);
        }
        qv_delete_context(&h);
        peak = resident_peak_kb();
    }
    state.counters["peak_rss_mb"] = peak / 1024.0;
    g_figures["256-view session 1e-30 to 1e-1000, 96 MB budget: peak resident MB"] = peak / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
    for (const DeepView& v : accuracy_views()) {
        // Fewer samples where MPFR's orbits are longest.
        const bool public_view = v.name.rfind("public", 0) == 0;
        const bool deepest = v.name == "i 1e-3000" || v.name == "i 1e-5000";
        benchmark::RegisterBenchmark(("Accuracy/" + v.name).c_str(), BM_Accuracy, v,
                                     v.limit > 500000 ? 30
                                     : public_view    ? 100
                                     : deepest        ? 20
                                                      : 200)
            ->Iterations(1)
            ->Unit(benchmark::kSecond);
    }
    for (const DeepView& v : accuracy_views()) {
        benchmark::RegisterBenchmark(("Steps/" + v.name).c_str(), BM_Steps, v)
            ->Iterations(1)
            ->Unit(benchmark::kSecond);
        // Every public location runs 10^5 iterations or more a pixel; the
        // deepest and the shallowest also at 256 x 256, where the pixels
        // outweigh the reference.
        if (v.name.rfind("public", 0) != 0) continue;
        std::vector<int32_t> sides{v.name == "public 4e-228" ? 64 : 128};
        if (v.name == "public 8.4e-612" || v.name == "public 2e-50") sides.push_back(256);
        for (int32_t side : sides)
            benchmark::RegisterBenchmark(
                ("Skipping/" + v.name + "/" + std::to_string(side)).c_str(), BM_Skipping, v, side)
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
    }
    for (const DeepView& v : accuracy_views())
        if (v.name == "public 2e-50")
            benchmark::RegisterBenchmark(("Wider/" + v.name + "/64").c_str(), BM_Wider, v, 64)
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
    for (int d : {60, 100, 300, 320, 1000, 3000, 5000})
        for (int level = 0; level <= static_cast<int>(best_simd_level()); ++level)
            benchmark::RegisterBenchmark(("KernelCost/" + misiurewicz(d).name + "/" +
                                          simd_level_name(static_cast<SimdLevel>(level)))
                                             .c_str(),
                                         BM_KernelCost, misiurewicz(d),
                                         static_cast<SimdLevel>(level))
                ->Iterations(1);
    for (bool inside : {false, true})
        for (int d : {1000, 5000})
            benchmark::RegisterBenchmark(
                ("LongestSlice/1e-" + std::to_string(d) + (inside ? "/inside" : "")).c_str(),
                BM_LongestSlice, d, inside)
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("SessionMemory", BM_SessionMemory)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nSummary (one run)\n");
    for (const auto& [name, value] : g_figures) std::printf("%s: %.4f\n", name.c_str(), value);
    return 0;
}
