// Colouring a 600 x 600 picture at supersampling 1, 4 and 8, rebuilding every
// iteration. The samples are escape-time bytes of the whole set, so the block
// content has the mix of flat and busy areas a real view has.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "colour/rgb_image.h"

namespace {

constexpr int kSize = 600;

std::vector<uint8_t> escape_bytes(int n) {
    std::vector<uint8_t> out(static_cast<size_t>(n) * n);
    const double radius = 1.5;
    const double step = 2 * radius / n;
    for (int y = 0; y < n; ++y) {
        const double ci = radius - y * step;
        for (int x = 0; x < n; ++x) {
            const double cr = -0.5 - radius + x * step;
            double zr = 0, zi = 0;
            int i = 0;
            for (; i < 1000; ++i) {
                const double r2 = zr * zr, i2 = zi * zi;
                if (r2 + i2 > 4) break;
                zi = 2 * zr * zi + ci;
                zr = r2 - i2 + cr;
            }
            out[static_cast<size_t>(y) * n + x] = i == 1000 ? 0 : static_cast<uint8_t>(i % 255 + 1);
        }
    }
    return out;
}

void BM_Colour(benchmark::State& state) {
    const int f = static_cast<int>(state.range(0));
    const std::vector<uint8_t> samples = escape_bytes(kSize * f);
    uint8_t palette[768];
    for (int i = 0; i < 256; ++i) {
        palette[3 * i] = static_cast<uint8_t>(i);
        palette[3 * i + 1] = static_cast<uint8_t>(i * 7);
        palette[3 * i + 2] = static_cast<uint8_t>(255 - i);
    }
    quorvel::RgbImage image(kSize, kSize);
    image.set_palette(palette);
    image.set_gamma_and_supersampling(1.75f, f);
    for (auto _ : state) {
        image.dirty = true;
        image.render(samples.data());
        benchmark::DoNotOptimize(image.pixels());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kSize} * kSize * f * f);
    state.counters["samples"] = static_cast<double>(samples.size());
}
BENCHMARK(BM_Colour)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
