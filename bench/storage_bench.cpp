// Packing and unpacking a 600 x 600 view of the set's boundary.
#include <benchmark/benchmark.h>

#include <cstring>

#include "storage/masked_image.h"

namespace quorvel {
namespace {

constexpr int kSize = 600;

// Escape-time bytes around -0.75 + 0.1i, radius 0.05, limit 1000. With
// `boundaries_only`, only pixels that differ from a 4-neighbour are marked
// computed and the rest hold the neighbour's value, as contour tracing leaves
// an image; otherwise every pixel is computed.
MaskedImage boundary_view(bool boundaries_only) {
    MaskedImage img(kSize, kSize);
    uint8_t* values = img.values();
    const double radius = 0.05;
    const double step = 2 * radius / kSize;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            const double cr = -0.75 - radius + x * step;
            const double ci = 0.1 + radius - y * step;
            double zr = 0, zi = 0;
            int n = 0;
            while (n < 1000 && zr * zr + zi * zi <= 4) {
                const double t = zr * zr - zi * zi + cr;
                zi = 2 * zr * zi + ci;
                zr = t;
                ++n;
            }
            values[y * kSize + x] = n >= 1000 ? 0 : uint8_t((n - 1) % 255 + 1);
        }
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            const uint8_t v = values[y * kSize + x];
            const bool edge = x == 0 || y == 0 || x == kSize - 1 || y == kSize - 1 ||
                              values[y * kSize + x - 1] != v || values[y * kSize + x + 1] != v ||
                              values[(y - 1) * kSize + x] != v || values[(y + 1) * kSize + x] != v;
            if (!boundaries_only || edge) img.mark_computed(x, y);
        }
    return img;
}

const MaskedImage& view(bool boundaries_only) {
    static const MaskedImage full = boundary_view(false);
    static const MaskedImage partial = boundary_view(true);
    return boundaries_only ? partial : full;
}

void report(benchmark::State& state, const MaskedImage& packed) {
    const double unpacked_bytes =
        double(kSize) * kSize + double(packed.mask_stride()) * kSize;  // values + mask
    const double packed_bytes = double(packed.packed_mask().size() + packed.packed_values().size());
    state.counters["MPix/s"] = benchmark::Counter(double(state.iterations()) * kSize * kSize / 1e6,
                                                  benchmark::Counter::kIsRate);
    state.counters["packed_share"] = packed_bytes / unpacked_bytes;
    state.counters["packed_bytes"] = packed_bytes;
}

void BM_Pack(benchmark::State& state) {
    const MaskedImage& source = view(state.range(0) != 0);
    MaskedImage img(source);
    for (auto _ : state) {
        state.PauseTiming();
        img = source;
        state.ResumeTiming();
        img.pack();
        benchmark::DoNotOptimize(img.packed_values().data());
    }
    report(state, img);
}

void BM_Unpack(benchmark::State& state) {
    MaskedImage packed(view(state.range(0) != 0));
    packed.pack();
    MaskedImage img(packed);
    for (auto _ : state) {
        state.PauseTiming();
        img = packed;
        state.ResumeTiming();
        img.unpack();
        benchmark::DoNotOptimize(img.values());
    }
    report(state, packed);
}

BENCHMARK(BM_Pack)->ArgName("boundaries_only")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Unpack)->ArgName("boundaries_only")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvel

BENCHMARK_MAIN();
