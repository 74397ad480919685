// Completion time, accuracy and slice lengths of the three strategies on a
// shallow view (A) and a deep double view (B); the overhead of brute force over
// a bare escape-time loop; and the per-iteration price of BigFloat views (C).
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/stopwatch.h"
#include "generators/generator_factory.h"

namespace quorvel {
namespace {

struct BenchView {
    const char* name;
    BigFloat cx, cy;
    double radius;
    uint32_t limit;
};

// C's centre: found by zooming from B's centre towards the pixels whose
// neighbourhood varies most, so the 1e-30 view still has detail (escape counts
// about 1270 to 1730). About -0.74364388700789463 + 0.13182590427425669i.
const char* const kDeepX = "-B.E5F721E91B8DA48AD8D3740B26D52CA0293FBx-1";
const char* const kDeepY = "+8.6FD5EAE7E864DDA1DE2AEA263C0BB0F52C448x-3";

BenchView view_a() { return {"A", BigFloat(-0.5), BigFloat(0.0), 1.5, 1000}; }
BenchView view_b() {
    return {"B", BigFloat(-0.743643887037151), BigFloat(0.131825904205330), 1e-10, 5000};
}

std::unique_ptr<Fractal> make_view(const BenchView& view_setup, int32_t size,
                                   double radius_scale = 1.0) {
    auto view = std::make_unique<Fractal>(size, size);
    view->set_view(view_setup.cx, view_setup.cy, view_setup.radius * radius_scale);
    view->set_max_iterations(view_setup.limit);
    return view;
}

// Thread CPU seconds: less disturbed than wall time on a shared machine.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

struct Completion {
    double seconds = 0, cpu = 0, longest_call = 0, cleverness = 0;
    int calls = 0, calls_over_030 = 0, calls_at_walk_cap = 0;
    std::vector<uint8_t> values;
};

// Completes a view the way the refinement driver does: preview on, a 12-pixel
// preview grid, 0.25 s slices until the generator reports nothing left.
Completion complete(const BenchView& view_setup, int type, bool preview = true) {
    auto view = make_view(view_setup, 600);
    auto generator = make_generator(type, *view);
    generator->preview_cell = 12;
    generator->reset_preview();
    generator->set_preview(preview);
    Completion c;
    Stopwatch total;
    const double cpu_start = cpu_seconds();
    for (;;) {
        Stopwatch call;
        const bool more = generator->refine(0.25f);
        const double t = call.elapsed();
        c.longest_call = std::max(c.longest_call, t);
        c.calls_over_030 += t >= 0.30;
        c.calls_at_walk_cap += t >= 0.6;
        if (!more) break;
        ++c.calls;
    }
    c.seconds = total.elapsed();
    c.cpu = cpu_seconds() - cpu_start;
    c.cleverness = view->cleverness();
    const uint8_t* values = view->image_for_use().values();
    c.values.assign(values, values + 600 * 600);
    return c;
}

std::map<std::string, Completion> g_completions;
std::map<std::string, double> g_figures;

void BM_Complete(benchmark::State& state, BenchView view_setup, int type) {
    Completion c;
    for (auto _ : state) c = complete(view_setup, type);
    const std::string key = std::string(view_setup.name) + "/" + describe_generator(type);
    state.counters["seconds"] = c.seconds;
    state.counters["cpu_seconds"] = c.cpu;
    state.counters["cleverness"] = c.cleverness;
    state.counters["longest_call_s"] = c.longest_call;
    state.counters["calls_at_walk_cap"] = c.calls_at_walk_cap;
    const auto brute = g_completions.find(std::string(view_setup.name) + "/brute force");
    if (type != 2 && brute != g_completions.end()) {
        size_t differing = 0;
        for (size_t i = 0; i < c.values.size(); ++i)
            differing += c.values[i] != brute->second.values[i];
        state.counters["differing_pct"] = 100.0 * differing / c.values.size();
        g_figures[key + " differing %"] = 100.0 * differing / c.values.size();
    }
    g_completions[key] = std::move(c);
}

// Brute force against a bare loop calling the same kernel on the same
// coordinates; interleaved repetitions, best CPU time of each.
void BM_BruteForceOverhead(benchmark::State& state) {
    const BenchView view_setup = view_a();
    double best_brute = 1e9, best_bare = 1e9;
    uint64_t sink = 0;
    for (auto _ : state) {
        for (int rep = 0; rep < 5; ++rep) {
            {
                auto view = make_view(view_setup, 600);
                auto generator = make_generator(2, *view);
                generator->set_preview(false);
                const double start = cpu_seconds();
                while (generator->refine(0.25f)) {
                }
                best_brute = std::min(best_brute, cpu_seconds() - start);
            }
            {
                auto view = make_view(view_setup, 600);
                view->prepare(false);
                std::vector<double> columns(600), rows(600);
                for (int32_t i = 0; i < 600; ++i) {
                    columns[i] = view->column_coordinate(i).to_double();
                    rows[i] = view->row_coordinate(i).to_double();
                }
                std::vector<uint8_t> out(600 * 600);
                const double start = cpu_seconds();
                for (int32_t y = 0; y < 600; ++y)
                    for (int32_t x = 0; x < 600; ++x) {
                        const uint32_t n = iterate_double(view_setup.limit, columns[x], rows[y]);
                        out[y * 600 + x] =
                            n == view_setup.limit ? 0 : static_cast<uint8_t>((n - 1) % 255 + 1);
                    }
                best_bare = std::min(best_bare, cpu_seconds() - start);
                sink += out[300 * 600 + 300];
            }
        }
    }
    benchmark::DoNotOptimize(sink);
    state.counters["brute_cpu_s"] = best_brute;
    state.counters["bare_cpu_s"] = best_bare;
    state.counters["overhead_pct"] = 100.0 * (best_brute / best_bare - 1.0);
    g_figures["A brute force over bare loop %"] = 100.0 * (best_brute / best_bare - 1.0);
}

// Nanoseconds per iteration: brute force over the whole view, divided by the
// iterations a plain kernel loop counts on the same coordinates.
void per_iteration(benchmark::State& state, const BenchView& view_setup, int32_t size,
                   double radius_scale, const char* label) {
    double generator_s = 0, kernel_s = 0;
    uint64_t iterations = 0;
    bool big = false;
    int distinct = 0;
    for (auto _ : state) {
        auto view = make_view(view_setup, size, radius_scale);
        auto generator = make_generator(2, *view);
        generator->set_preview(false);
        double start = cpu_seconds();
        while (generator->refine(0.25f)) {
        }
        generator_s = cpu_seconds() - start;
        big = view->uses_big_float();
        const uint8_t* values = view->image_for_use().values();
        distinct = 0;
        bool seen[256] = {};
        for (int32_t i = 0; i < size * size; ++i)
            if (!seen[values[i]]) seen[values[i]] = true, ++distinct;

        iterations = 0;
        start = cpu_seconds();
        for (int32_t y = 0; y < size; ++y)
            for (int32_t x = 0; x < size; ++x)
                iterations +=
                    big ? iterate_big_float(view_setup.limit, view->column_coordinate(x),
                                            view->row_coordinate(y))
                        : iterate_double(view_setup.limit, view->column_coordinate(x).to_double(),
                                         view->row_coordinate(y).to_double());
        kernel_s = cpu_seconds() - start;
    }
    state.counters["big_float"] = big;
    state.counters["distinct_values"] = distinct;
    state.counters["iterations"] = static_cast<double>(iterations);
    state.counters["generator_ns_per_iter"] = 1e9 * generator_s / iterations;
    state.counters["kernel_ns_per_iter"] = 1e9 * kernel_s / iterations;
    g_figures[std::string(label) + " ns/iteration (brute force)"] = 1e9 * generator_s / iterations;
    g_figures[std::string(label) + " ns/iteration (kernel loop)"] = 1e9 * kernel_s / iterations;
}

void BM_PerIterationB(benchmark::State& state) { per_iteration(state, view_b(), 600, 1.0, "B"); }

void BM_PerIterationC(benchmark::State& state) {
    // The central 100 x 100 cut of the 600 x 600 view at radius 1e-30.
    const BenchView view_setup{"C", BigFloat(kDeepX), BigFloat(kDeepY), 1e-30, 5000};
    per_iteration(state, view_setup, 100, 100.0 / 600.0, "C (100x100 cut)");
}

void print_summary() {
    std::printf("\nSummary (one run)\n");
    for (const char* v : {"A", "B"}) {
        const auto brute_it = g_completions.find(std::string(v) + "/brute force");
        if (brute_it == g_completions.end()) continue;
        const Completion& brute = brute_it->second;
        for (int type : {2, 0, 1}) {
            const auto it = g_completions.find(std::string(v) + "/" + describe_generator(type));
            if (it == g_completions.end()) continue;
            const Completion& c = it->second;
            std::printf(
                "%s %-16s %7.3f s wall %7.3f s cpu  brute/this (cpu) %5.2fx  cleverness %.3f  "
                "longest call %.3f s  "
                "calls>=0.30s %d  calls at walk cap %d\n",
                v, describe_generator(type), c.seconds, c.cpu, brute.cpu / c.cpu, c.cleverness,
                c.longest_call, c.calls_over_030, c.calls_at_walk_cap);
        }
    }
    for (const auto& [name, value] : g_figures) std::printf("%s: %.4f\n", name.c_str(), value);
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
    using namespace quorvel;
    for (const BenchView& view_setup : {view_a(), view_b()})
        for (int type : {2, 0, 1}) {
            const std::string name =
                std::string("Complete/") + view_setup.name + "/" + describe_generator(type);
            benchmark::RegisterBenchmark(name.c_str(), BM_Complete, view_setup, type)
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
    benchmark::RegisterBenchmark("BruteForceOverhead/A", BM_BruteForceOverhead)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("PerIteration/B", BM_PerIterationB)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("PerIteration/C", BM_PerIterationC)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_summary();
    return 0;
}
