// Views dominated by pixels that never escape: CPU time of the three strategies
// on a view inside the main cardioid at a high limit and at a low one, the
// share of pixels each strategy iterates on the widest lanes and on one lane,
// and the whole set and the seahorse spiral for comparison.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "generators/generator_factory.h"

namespace quorvel {
namespace {

struct InteriorView {
    const char* name;
    double cx, cy, radius;
    uint32_t limit;
    int32_t side;
};

const InteriorView kInside{"inside", -0.2, 0.0, 0.05, 1000000, 400};
const InteriorView kInsideLow{"inside@1e4", -0.2, 0.0, 0.05, 10000, 400};
const InteriorView kWhole{"A", -0.5, 0.0, 1.5, 1000, 600};
const InteriorView kSpiral{"B", -0.743643887037151, 0.131825904205330, 1e-10, 5000, 600};

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

struct Run {
    double cpu = 0;
    double iterated_pct = 0;  // pixels iterated, in per cent of the grid
};

std::map<std::string, Run> g_runs;

// Completes the view without preview in 0.25 s slices, at the given SIMD level.
Run complete(const InteriorView& v, int type, SimdLevel level) {
    const SimdLevel before = active_simd_level();
    set_simd_level(level);
    Fractal view(v.side, v.side);
    view.set_view(BigFloat(v.cx), BigFloat(v.cy), v.radius);
    view.set_max_iterations(v.limit);
    auto generator = make_generator(type, view);
    generator->set_preview(false);
    const double start = cpu_seconds();
    while (generator->refine(0.25f)) {
    }
    Run r;
    r.cpu = cpu_seconds() - start;
    r.iterated_pct = 100.0 * (1.0 - view.cleverness());
    set_simd_level(before);
    return r;
}

void BM_Complete(benchmark::State& state, InteriorView v, int type, bool scalar) {
    Run r;
    const SimdLevel level = scalar ? SimdLevel::scalar : best_simd_level();
    for (auto _ : state) r = complete(v, type, level);
    state.counters["cpu_s"] = r.cpu;
    state.counters["iterated_pct"] = r.iterated_pct;
    g_runs[std::string(v.name) + " " + describe_generator(type) + (scalar ? " (scalar)" : "")] = r;
}

void print_summary() {
    std::printf("\nSummary (one run, CPU seconds; pixels iterated in %% of the grid)\n");
    for (const auto& [name, r] : g_runs)
        std::printf("%-36s %9.3f s  %7.3f %%\n", name.c_str(), r.cpu, r.iterated_pct);
    const auto ratio = [](const char* a, const char* b) {
        const auto ia = g_runs.find(a), ib = g_runs.find(b);
        if (ia == g_runs.end() || ib == g_runs.end()) return;
        std::printf("%s / %s: %.2f\n", a, b, ia->second.cpu / ib->second.cpu);
    };
    ratio("inside contour tracing", "inside@1e4 contour tracing");
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
    using namespace quorvel;
    struct Case {
        InteriorView view;
        int type;
        bool scalar;
    };
    const Case cases[] = {
        {kInside, 2, false}, {kInside, 0, false},    {kInside, 0, true},    {kInside, 1, false},
        {kInside, 1, true},  {kInsideLow, 0, false}, {kInsideLow, 0, true}, {kWhole, 2, false},
        {kWhole, 0, false},  {kWhole, 0, true},      {kWhole, 1, false},    {kWhole, 1, true},
        {kSpiral, 2, false}, {kSpiral, 0, false},    {kSpiral, 0, true},    {kSpiral, 1, false},
        {kSpiral, 1, true},
    };
    for (const Case& c : cases) {
        const std::string name = std::string("Complete/") + c.view.name + "/" +
                                 describe_generator(c.type) + (c.scalar ? "/scalar" : "");
        benchmark::RegisterBenchmark(name.c_str(), BM_Complete, c.view, c.type, c.scalar)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_summary();
    return 0;
}
