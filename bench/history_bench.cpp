// Exploring: completing a moved view against a fresh one, and the memory of a
// long zoom session under the default budget.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>

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

}  // namespace

BENCHMARK_MAIN();
