// Exploring: completing a moved view against a fresh one, the memory of a
// long zoom session under the default budget, and the memory of background
// refinement under a small budget.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "history/context.h"
#include "quorvel.h"

namespace {

using clock_type = std::chrono::steady_clock;

qv_handle view_a(int megabytes) {
    qv_handle h = qv_create_context(megabytes);
    qv_set_image_properties(h, 600, 600, 1, 1.75f);
    qv_set_view_params_from_doubles(h, -0.5, 0.0, 1.5);
    qv_adjust_maximum_iterations(h, 1000.0f / 150.0f);
    return h;
}

double complete(qv_handle h) {
    const auto start = clock_type::now();
    while (qv_refine_image(h)) {
    }
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// View A completed fresh, then again after a move by 1/8 of its width.
void BM_MovedView(benchmark::State& state) {
    double fresh = 0, moved = 0, clever = 0;
    for (auto _ : state) {
        qv_handle h = view_a(96);
        fresh = complete(h);
        qv_move(h, 0.125f, 0.0f);
        moved = complete(h);
        clever = qv_get_cleverness(h);
        qv_delete_context(&h);
    }
    state.counters["fresh_s"] = fresh;
    state.counters["moved_s"] = moved;
    state.counters["moved_share"] = moved / fresh;
    state.counters["moved_cleverness"] = clever;
}
BENCHMARK(BM_MovedView)->Iterations(3)->Unit(benchmark::kMillisecond);

// 255 centred zooms by 2 from view A, each completed, at the default budget.
void BM_LongSession(benchmark::State& state) {
    for (auto _ : state) {
        qv_handle h = view_a(96);
        complete(h);
        for (int i = 0; i < 255; ++i) {
            qv_zoom_centered(h, 2.0f);
            complete(h);
        }
        const auto& ctx = *reinterpret_cast<quorvel::Context*>(h);
        int unpacked = 0, packed = 0, trimmed = 0;
        double packed_bytes = 0;
        for (int i = 0; i <= ctx.last; ++i) {
            if (i == ctx.current) continue;
            const quorvel::HistEntry& e = ctx.entries[i];
            const quorvel::MaskedImage* image = e.fractal->image();
            if (e.trimmed || !image) {
                ++trimmed;
            } else if (image->is_packed()) {
                ++packed;
                packed_bytes += image->packed_mask().size() + image->packed_values().size();
            } else {
                ++unpacked;
            }
        }
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        state.counters["peak_rss_MB"] = usage.ru_maxrss / 1024.0;
        state.counters["memory_used_MB"] = ctx.memory_used / 1048576.0;
        state.counters["unpacked"] = unpacked;
        state.counters["packed"] = packed;
        state.counters["trimmed"] = trimmed;
        state.counters["packed_bytes_per_view"] = packed ? packed_bytes / packed : 0;
        qv_delete_context(&h);
    }
}
BENCHMARK(BM_LongSession)->Iterations(1)->Unit(benchmark::kSecond);

// Resident memory now, in megabytes.
double resident_megabytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// 40 entries at 2000x2000 under a 32 MB budget, all computed by background
// slices: resident memory must stay near the budget plus the current view.
// Run it alone (--benchmark_filter=BackgroundRefinement) for a clean peak.
void BM_BackgroundRefinement(benchmark::State& state) {
    for (auto _ : state) {
        qv_handle h = qv_create_context(32);
        qv_set_image_properties(h, 2000, 2000, 1, 1.75f);
        for (int i = 0; i < 39; ++i) qv_zoom_centered(h, 1.25f);
        const double before = resident_megabytes();
        double peak = before;
        int slices = 0;
        while (qv_refine_history(h)) {
            peak = std::max(peak, resident_megabytes());
            ++slices;
        }
        state.counters["rss_before_MB"] = before;
        state.counters["rss_peak_MB"] = peak;
        state.counters["slices"] = slices;
        qv_delete_context(&h);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MB"] = usage.ru_maxrss / 1024.0;
}
BENCHMARK(BM_BackgroundRefinement)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
