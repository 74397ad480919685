// The perturbation kernel against the 192-bit kernel, in one run (the machine
// may be shared: compare the ratios, not the seconds):
//   - all of view C (600 x 600, radius 1e-30, limit 5000) by brute force with
//     the 192-bit kernel and with perturbation at every SIMD level;
//   - accuracy on 1000 sampled pixels against 512-bit MPFR, at C and on two
//     boundary views at 1e-40 and 1e-50;
//   - auto against the 192-bit kernel at C's radius and shallower;
//   - the longest qv_refine_image call on C at limit 10^7, reference included;
//   - all of C by brute force with linear steps against plain perturbation
//     (CPU time, bytes differing) and the steps per pixel of each.
#include <benchmark/benchmark.h>
#include <quorvel.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bigfloat/orbit_batch.h"
#include "deep/perturbation_plan.h"
#include "generators/generator_factory.h"
#include "mpfr_count.h"
#include "skip_steps.h"
#include "view/fractal.h"

namespace {

using namespace quorvel;

struct View {
    const char* name;
    const char* x;
    const char* y;
    double radius;
};

// C, as in generators_bench: counts about 1270 to 1730.
const View kC{"C", "-B.E5F721E91B8DA48AD8D3740B26D52CA0293FBx-1",
              "+8.6FD5EAE7E864DDA1DE2AEA263C0BB0F52C448x-3", 1e-30};
// Boundary views reached by zooming towards the most varied neighbourhoods,
// from C's centre (P) and from the elephant valley (Q).
const View kDeep[] = {
    {"P 1e-40", "-B.E5F721E91B8DA48AD8D3740AACDC2740ED39E747A2E74x-1",
     "+8.6FD5EAE7E864DDA1DE2AEA24B878503D24F3EB2477B3x-3", 1e-40},
    {"P 1e-50", "-B.E5F721E91B8DA48AD8D3740AACDC2740F4FB59BEAA561E6x-1",
     "+8.6FD5EAE7E864DDA1DE2AEA24B878503D128CEAB748D3ACCx-3", 1e-50},
    {"Q 1e-40", "+9.5DB76690082BC6640616BB20B78E25309DEC1A72F83Ax-2",
     "+F.D0CC71B5E4265A436D5418BB7C9E0E44354D0A1ED13x-7", 1e-40},
    {"Q 1e-50", "+9.5DB76690082BC6640616BB20B78E2530E4525BC565F8A6Ax-2",
     "+F.D0CC71B5E4265A436D5418BB7C9E0E33B82243FC23E9EDFx-7", 1e-50},
};
// About half inside the set at limit 5000: its reference reaches the limit.
const View kInside{"R 1e-40", "-B.E5F721E91B8DA48AD8D3740AA20603949F9D04A65E658x-1",
                   "+8.6FD5EAE7E864DDA1DE2AEA2B31B1439EE67ADFD16D11x-3", 1e-40};
constexpr uint32_t kLimit = 5000;

std::unique_ptr<Fractal> make_view(const View& v, int32_t side, DeepKernel mode,
                                   double scale = 1.0) {
    auto f = std::make_unique<Fractal>(side, side);
    f->set_view(BigFloat(v.x), BigFloat(v.y), v.radius * scale);
    f->set_max_iterations(kLimit);
    f->set_deep_kernel(mode);
    return f;
}

std::vector<uint8_t> complete(Fractal& view, double& seconds) {
    return bench::brute_force(view, seconds);
}

std::map<std::string, double> g_figures;
std::vector<uint8_t> g_exact_c;
double g_exact_c_seconds = 0;

size_t differing(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
    return n;
}

void BM_C_192bit(benchmark::State& state) {
    for (auto _ : state) {
        auto view = make_view(kC, 600, DeepKernel::exact);
        g_exact_c = complete(*view, g_exact_c_seconds);
    }
    state.counters["cpu_s"] = g_exact_c_seconds;
    g_figures["C 192-bit kernel, cpu s"] = g_exact_c_seconds;
}

void BM_C_Perturbation(benchmark::State& state, SimdLevel level) {
    set_simd_level(level);
    double seconds = 0;
    std::vector<uint8_t> values;
    size_t references = 0;
    for (auto _ : state) {
        auto view = make_view(kC, 600, DeepKernel::perturbation);
        values = complete(*view, seconds);
        references = view->perturbation_plan()->reference_count();
    }
    const std::string name = std::string("C perturbation ") + simd_level_name(level);
    state.counters["cpu_s"] = seconds;
    state.counters["references"] = static_cast<double>(references);
    g_figures[name + ", cpu s"] = seconds;
    if (!g_exact_c.empty()) {
        const double ratio = g_exact_c_seconds / seconds;
        state.counters["faster_than_192bit"] = ratio;
        g_figures[name + ", times faster than 192-bit"] = ratio;
        g_figures[name + ", % bytes differing from 192-bit"] =
            100.0 * differing(values, g_exact_c) / values.size();
    }
    set_simd_level(best_simd_level());
}

// All of C with linear steps and with plain perturbation, each on the SIMD
// lanes it uses.
void BM_C_Skipping(benchmark::State& state) {
    double skipping = 0, plain = 0;
    size_t differ = 0;
    bench::StepsPerPixel steps;
    for (auto _ : state) {
        auto fast = make_view(kC, 600, DeepKernel::perturbation);
        const std::vector<uint8_t> a = complete(*fast, skipping);
        auto slow = make_view(kC, 600, DeepKernel::plain);
        differ = differing(a, complete(*slow, plain));
        steps = bench::steps_per_pixel(*fast, 1000);
    }
    state.counters["times_faster"] = plain / skipping;
    g_figures["C skipping, cpu s"] = skipping;
    g_figures["C plain perturbation, cpu s"] = plain;
    g_figures["C skipping, times faster than plain"] = plain / skipping;
    g_figures["C skipping, % bytes differing from plain"] = 100.0 * differ / (600.0 * 600.0);
    g_figures["C steps per pixel, plain"] = steps.plain;
    g_figures["C steps per pixel, skipping"] = steps.skipping;
}

// Shares of 1000 sampled pixels whose byte differs from 512-bit MPFR.
void accuracy(benchmark::State& state, const View& v) {
    double exact_share = 0, perturbed_share = 0;
    for (auto _ : state) {
        auto exact = make_view(v, 600, DeepKernel::exact);
        auto perturbed = make_view(v, 600, DeepKernel::perturbation);
        exact->prepare(true);
        perturbed->prepare(true);
        std::mt19937_64 random(11);
        std::uniform_int_distribution<int32_t> pick(0, 599);
        const GridCoordinates grid = perturbed->grid_coordinates();
        MpfrNumber cx(512), cy(512);
        int exact_wrong = 0, perturbed_wrong = 0;
        const int kSamples = 1000;
        for (int k = 0; k < kSamples; ++k) {
            const int32_t x = pick(random), y = pick(random);
            // Where the pixel lies exactly: deeper than 192-bit coordinates
            // hold, their roundings are not the pixels' places.
            grid.set_column(cx.get(), x);
            grid.set_row(cy.get(), y);
            const uint8_t truth =
                sample::pixel_byte(sample::mpfr_count(cx.get(), cy.get(), kLimit), kLimit);
            exact_wrong += exact->pixel_value(x, y) != truth;
            perturbed_wrong += perturbed->pixel_value(x, y) != truth;
        }
        exact_share = 100.0 * exact_wrong / kSamples;
        perturbed_share = 100.0 * perturbed_wrong / kSamples;
    }
    state.counters["192bit_wrong_pct"] = exact_share;
    state.counters["perturbation_wrong_pct"] = perturbed_share;
    g_figures[std::string(v.name) + " % of 1000 differing from MPFR, 192-bit"] = exact_share;
    g_figures[std::string(v.name) + " % of 1000 differing from MPFR, perturbation"] =
        perturbed_share;
}

// auto against the 192-bit kernel at C's radius and shallower, on 200 x 200
// views (whose pixels are three times C's: the switch goes by radius).
void BM_AutoAtCAndShallower(benchmark::State& state) {
    size_t worst = 0;
    for (auto _ : state) {
        for (const double scale : {1.0, 10.0, 1e4}) {
            double seconds = 0;
            auto automatic = make_view(kC, 200, DeepKernel::automatic, scale);
            auto exact = make_view(kC, 200, DeepKernel::exact, scale);
            worst = std::max(worst,
                             differing(complete(*automatic, seconds), complete(*exact, seconds)));
        }
    }
    state.counters["differing"] = static_cast<double>(worst);
    g_figures["auto vs 192-bit at radius 1e-30, 1e-29 and 1e-26: most pixels differing"] =
        static_cast<double>(worst);
}

// The longest qv_refine_image call at limit 10^7 in perturbation mode, over
// the reference search and the first slices of pixels.
void BM_LongestSlice(benchmark::State& state, const View& v) {
    double longest = 0;
    int calls = 0;
    for (auto _ : state) {
        qv_handle h = qv_create_context(96);
        qv_set_image_properties(h, 600, 600, 1, 1.75f);
        qv_set_deep_kernel(h, 2);
        qv_set_view_params_from_text(h, v.x, v.y, v.radius);
        Location place;
        qv_store_location_to(h, &place);
        const uint32_t limit = 10000000;
        std::memcpy(&place.max_iterations, &limit, 4);
        qv_restore_location_from(h, &place);
        for (calls = 0; calls < 60; ++calls) {
            const auto t0 = std::chrono::steady_clock::now();
            const bool more = qv_refine_image(h);
            const double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            longest = std::max(longest, t);
            if (!more) break;
        }
        qv_delete_context(&h);
    }
    state.counters["longest_call_s"] = longest;
    state.counters["calls"] = calls;
    g_figures[std::string(v.name) + " at limit 10^7, perturbation: longest call s (first 60)"] =
        longest;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("C/192bit", BM_C_192bit)->Iterations(1)->Unit(benchmark::kSecond);
    for (int level = 0; level <= static_cast<int>(best_simd_level()); ++level) {
        const auto l = static_cast<SimdLevel>(level);
        benchmark::RegisterBenchmark((std::string("C/perturbation/") + simd_level_name(l)).c_str(),
                                     BM_C_Perturbation, l)
            ->Iterations(1)
            ->Unit(benchmark::kSecond);
    }
    benchmark::RegisterBenchmark("C/skipping", BM_C_Skipping)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("Accuracy/C", accuracy, kC)->Iterations(1);
    for (const View& v : kDeep)
        benchmark::RegisterBenchmark((std::string("Accuracy/") + v.name).c_str(), accuracy, v)
            ->Iterations(1);
    benchmark::RegisterBenchmark("AutoAtCAndShallower", BM_AutoAtCAndShallower)->Iterations(1);
    for (const View* v : {&kC, &kInside})
        benchmark::RegisterBenchmark((std::string("LongestSlice/") + v->name).c_str(),
                                     BM_LongestSlice, *v)
            ->Iterations(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nSummary (one run)\n");
    for (const auto& [name, value] : g_figures) std::printf("%s: %.4f\n", name.c_str(), value);
    return 0;
}
