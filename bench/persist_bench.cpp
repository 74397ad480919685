// Saving and loading a 64-entry history of finished 600 x 600 views: zooms by 2
// from -0.5 + 0i (radius 1.5, limit 1000) towards a point on the boundary, in
// a context whose 1024 MB budget keeps every image.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "api/context_registry.h"
#include "bigfloat/big_float.h"
#include "quorvel.h"

namespace {

using quorvel::BigFloat;

constexpr int kEntries = 64;
constexpr int kSide = 600;
constexpr uint32_t kLimit = 1000;
constexpr const char* kTargetX = "-0.743643887037158704752191506114774";
constexpr const char* kTargetY = "0.131825904205311970493132056385139";

struct History {
    qv_handle handle = nullptr;
    std::string path;
    double unpacked_bytes = 0;
};

// Built once: computing the views takes far longer than saving them.
History& history() {
    static History h = [] {
        History out;
        out.handle = qv_create_context(1024);
        qv_set_image_properties(out.handle, kSide, kSide, 1, 1.75f);
        const BigFloat tx(kTargetX), ty(kTargetY);
        BigFloat dx = BigFloat(-0.5) - tx, dy = BigFloat(0.0) - ty;
        const BigFloat half(0.5);
        double radius = 1.5;
        for (int i = 0; i < kEntries; ++i) {
            // Each step halves the distance to the target and the radius.
            if (i == 0) {
                // The start view replaces the context's first view in place.
                quorvel::Fractal& view = quorvel::registry().find(out.handle)->current_view();
                view.set_view(tx + dx, ty + dy, radius);
                view.set_max_iterations(kLimit);
            } else {
                Location loc{};
                (tx + dx).store(loc.centre_x);
                (ty + dy).store(loc.centre_y);
                BigFloat(radius).store(loc.radius);
                loc.max_iterations = kLimit;
                qv_restore_location_from(out.handle, &loc);
            }
            while (qv_refine_image(out.handle)) {
            }
            dx *= half;
            dy *= half;
            radius *= 0.5;
        }
        const int stride = (kSide + 63) / 8;
        out.unpacked_bytes = double(kEntries) * (double(kSide) * kSide + double(stride) * kSide);
        out.path = "/tmp/qv_persist_bench_" + std::to_string(::getpid()) + ".qvh";
        return out;
    }();
    return h;
}

// Brings every stored image back to its working form, as it is while a
// session runs under a large budget.
void unpack_all(qv_handle handle) {
    quorvel::Context* ctx = quorvel::registry().find(handle);
    for (int32_t i = 0; i <= ctx->last; ++i)
        if (quorvel::MaskedImage* img = ctx->entries[i].fractal->image()) img->unpack();
}

long file_size(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    std::fseek(f, 0, SEEK_END);
    const long n = std::ftell(f);
    std::fclose(f);
    return n;
}

void BM_SaveAll(benchmark::State& state) {
    History& h = history();
    for (auto _ : state) {
        state.PauseTiming();
        unpack_all(h.handle);
        state.ResumeTiming();
        if (!qv_save_all(h.handle, h.path.c_str())) state.SkipWithError("save failed");
    }
    const long size = file_size(h.path);
    state.counters["file_MB"] = double(size) / 1048576.0;
    state.counters["unpacked_MB"] = h.unpacked_bytes / 1048576.0;
    state.counters["file_share"] = double(size) / h.unpacked_bytes;
    state.counters["entries"] = quorvel::registry().find(h.handle)->last + 1;
}
BENCHMARK(BM_SaveAll)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Load(benchmark::State& state) {
    History& h = history();
    qv_save_all(h.handle, h.path.c_str());
    qv_handle target = qv_create_context(1024);
    for (auto _ : state)
        if (!qv_load(target, h.path.c_str())) state.SkipWithError("load failed");
    qv_delete_context(&target);
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SaveMinimum(benchmark::State& state) {
    History& h = history();
    for (auto _ : state)
        if (!qv_save_minimum(h.handle, h.path.c_str())) state.SkipWithError("save failed");
}
BENCHMARK(BM_SaveMinimum)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!history().path.empty()) std::remove(history().path.c_str());
    qv_delete_context(&history().handle);
    return 0;
}
