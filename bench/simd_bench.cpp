// The batch kernel at every SIMD level this processor has, each figure against
// the forced scalar kernel in the same run: the three strategies on views A
// and B, pixels differing from the scalar kernel, and the longest slice.
//
// Counters: `differing` is the number of pixels whose value differs from the
// same strategy at the scalar level (must be 0); `longest_slice_ms` is the
// longest qv_refine_image call.
#include <benchmark/benchmark.h>
#include <quorvel.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "bigfloat/orbit_batch.h"
#include "generators/generator_factory.h"
#include "view/fractal.h"

namespace {

using namespace quorvel;

struct View {
    const char* name;
    const char* x;
    const char* y;
    double radius;
    uint32_t iterations;
};

// A: the whole set. B: a spiral in the seahorse valley. Inside: a disc of the
// main cardioid. Then the whole set at the smallest limits and at the largest
// (a window of it, escaping pixels only). C: 1e-30 in 192-bit arithmetic.
const View kViews[] = {
    {"A", "-0.5", "0", 1.5, 1000},
    {"B", "-0.743643887037151", "0.131825904205330", 1e-10, 5000},
    {"inside", "-0.1", "0", 0.05, 1000},
    {"limit2", "-0.5", "0", 1.5, 2},
    {"limit3", "-0.5", "0", 1.5, 3},
    {"limit_max", "1.5", "1.5", 0.4, 4294967295u},
    {"C", "-B.E5F721E9D05DC5BD64D566E76C7649B2E487x-1",
     "+8.6FD5EAD72F4C47C96FDE2A4F8B563BB33441x-3", 1e-30, 5000},
};
constexpr int kSide = 600;

std::unique_ptr<Fractal> make_view(const View& v) {
    auto f = std::make_unique<Fractal>(kSide, kSide);
    f->set_view(BigFloat(v.x), BigFloat(v.y), v.radius);
    f->set_max_iterations(v.iterations);
    return f;
}

std::vector<uint8_t> compute(const View& v, int type, double& seconds) {
    auto view = make_view(v);
    auto g = make_generator(type, *view);
    const auto t0 = std::chrono::steady_clock::now();
    while (g->refine(0.25f)) {
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const uint8_t* p = view->image_for_use().values();
    return std::vector<uint8_t>(p, p + size_t(kSide) * kSide);
}

// The scalar image of each view and strategy, made once.
const std::vector<uint8_t>& scalar_image(int view, int type) {
    static std::map<std::pair<int, int>, std::vector<uint8_t>> cache;
    auto it = cache.find({view, type});
    if (it != cache.end()) return it->second;
    const SimdLevel before = active_simd_level();
    set_simd_level(SimdLevel::scalar);
    double seconds;
    auto image = compute(kViews[view], type, seconds);
    set_simd_level(before);
    return cache[{view, type}] = std::move(image);
}

// Args: view, strategy (0 contour, 1 boxes, 2 brute force), SIMD level.
void BM_Strategy(benchmark::State& state) {
    const int view = int(state.range(0)), type = int(state.range(1));
    const auto level = static_cast<SimdLevel>(state.range(2));
    if (level > best_simd_level()) {
        state.SkipWithError("level not supported here");
        return;
    }
    const std::vector<uint8_t>& reference = scalar_image(view, type);
    const SimdLevel before = active_simd_level();
    set_simd_level(level);
    size_t differing = 0;
    for (auto _ : state) {
        double seconds;
        const std::vector<uint8_t> image = compute(kViews[view], type, seconds);
        differing = 0;
        for (size_t i = 0; i < image.size(); ++i) differing += image[i] != reference[i];
        state.SetIterationTime(seconds);
    }
    set_simd_level(before);
    state.counters["differing"] = double(differing);
    state.SetLabel(std::string(kViews[view].name) + " " + describe_generator(type) + " " +
                   simd_level_name(level));
}

// The longest qv_refine_image call over the first slices. Args: limit case,
// strategy, supersampling. Cases: home view at 1e6, 1e8, 4294967295; C at 1e7.
void BM_LongestSlice(benchmark::State& state) {
    const int which = int(state.range(0)), type = int(state.range(1)),
              supersampling = int(state.range(2));
    const uint32_t limits[] = {1000000u, 100000000u, 4294967295u, 10000000u};
    double longest = 0.0;
    for (auto _ : state) {
        qv_handle h = qv_create_context(256);
        qv_set_image_properties(h, kSide, kSide, supersampling, 1.75f);
        if (which == 3) {
            const View& c = kViews[6];
            qv_set_view_params_from_text(h, c.x, c.y, c.radius);
        }
        qv_set_generator_type(h, type);
        Location location;
        qv_store_location_to(h, &location);
        location.max_iterations = limits[which];
        qv_restore_location_from(h, &location);
        longest = 0.0;
        for (int slice = 0; slice < 12; ++slice) {
            const auto t0 = std::chrono::steady_clock::now();
            const bool more = qv_refine_image(h);
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            longest = std::max(longest, s);
            if (!more) break;
        }
        qv_delete_context(&h);
    }
    state.counters["longest_slice_ms"] = longest * 1e3;
    state.SetLabel(simd_level_name(active_simd_level()));
}

void strategy_args(benchmark::internal::Benchmark* b) {
    b->ArgNames({"view", "strategy", "level"});
    for (int view : {0, 1})
        for (int type : {2, 0, 1})
            for (int level = 0; level <= 3; ++level) b->Args({view, type, level});
    // Exactness at the edges: one run each at the scalar level and the widest.
    for (int view : {2, 3, 4, 5})
        for (int type : {2, 0})
            for (int level : {0, 1, 2, 3}) b->Args({view, type, level});
}

}  // namespace

BENCHMARK(BM_Strategy)
    ->Apply(strategy_args)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongestSlice)
    ->ArgNames({"case", "strategy", "supersampling"})
    ->Args({0, 0, 1})
    ->Args({0, 2, 1})
    ->Args({1, 0, 1})
    ->Args({2, 0, 1})
    ->Args({2, 2, 1})
    ->Args({3, 0, 1})
    ->Args({0, 0, 8})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
