// Colouring a 600 x 600 picture at supersampling 1, 4 and 8, rebuilding every
// iteration. The samples are escape-time bytes of the whole set, so the block
// content has the mix of flat and busy areas a real view has.
//
// Then the colour mapping on finished views through the public interface:
//   BM_Recolour      a density or phase change plus the next qv_get_rgb_image
//                    on a finished 600 x 600 view (target: 50 ms or less);
//   BM_Smooth        view B and the deep view (perturbation, linear steps) by
//                    brute force with smooth colouring off and on (target: on
//                    at most 1.3 times off), manual time;
//   BM_Memory        bytes per pixel of a view unpacked and packed, on views
//                    A, B and a deep view whose counts are near 1e5;
//   BM_PlainMapping  pixels of each strategy's picture at the plain mapping
//                    that differ from the value bytes through the palette,
//                    also after a round trip through another mapping (must be 0).
#include <benchmark/benchmark.h>
#include <quorvel.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "api/context_registry.h"
#include "colour/rgb_image.h"
#include "history/context.h"

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

struct View {
    const char* name;
    const char* x;
    const char* y;
    const char* radius;
    uint32_t iterations;
    int side;
};

// A: the whole set. B: a spiral in the seahorse valley. Deep: a public
// location at 2e-50 whose counts lie near 170 000 (perturbation; smaller, as
// each pixel costs 1e5 iterations and more).
const View kViews[] = {
    {"A", "-0.5", "0", "1.5", 1000, 600},
    {"B", "-0.743643887037151", "0.131825904205330", "1e-10", 5000, 600},
    {"deep",
     "-0.049470029063104093751692226727353630118745712488224879318104940232642194772686903427991"
     "5499747594190000000000000000000",
     "-0.674787575844675364011392053130597656334770706822403480697999794790994198345484511151420"
     "8499540310299999999999999999880",
     "2e-50", 263010, 96},
};

quorvel::Context& internals(qv_handle h) { return *quorvel::registry().find(h); }

// A context showing the view, computed to the end with the strategy.
qv_handle finished(const View& v, int generator, double density = 1.0, int smooth = 0,
                   double* seconds = nullptr) {
    qv_handle h = qv_create_context(512);
    qv_set_image_properties(h, v.side, v.side, 1, 1.75f);
    qv_set_generator_type(h, generator);
    qv_set_colour_mapping(h, density, 0.0, smooth);
    qv_set_view_from_strings(h, v.x, v.y, v.radius);
    Location place;
    qv_store_location_to(h, &place);
    place.max_iterations = v.iterations;
    qv_restore_location_from(h, &place);
    qv_set_view_from_strings(h, v.x, v.y, v.radius);
    const auto t0 = std::chrono::steady_clock::now();
    while (qv_refine_image(h)) {
    }
    if (seconds)
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    qv_get_rgb_image(h);
    return h;
}

// Arg: 0 density change, 1 phase change, 2 density change with smooth on.
void BM_Recolour(benchmark::State& state) {
    const int what = static_cast<int>(state.range(0));
    qv_handle h = finished(kViews[1], 0, 1.0, what == 2 ? 1 : 0);
    int k = 0;
    for (auto _ : state) {
        ++k;
        const double density = what == 1 ? 4.0 : (k & 1 ? 8.0 : 4.0);
        const double phase = what == 1 ? k % 256 : 0.0;
        qv_set_colour_mapping(h, density, phase, what == 2 ? 1 : 0);
        benchmark::DoNotOptimize(qv_get_rgb_image(h));
        if (qv_refine_image(h)) state.SkipWithError("a recolour refined");
    }
    qv_delete_context(&h);
    state.SetLabel(what == 0 ? "density" : what == 1 ? "phase" : "density, smooth");
}
BENCHMARK(BM_Recolour)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// Args: the view, smooth off (0) or on (1); brute force, whole runs.
void BM_Smooth(benchmark::State& state) {
    const View& v = kViews[state.range(0)];
    for (auto _ : state) {
        double seconds = 0.0;
        qv_handle h = finished(v, 2, 1.0, static_cast<int>(state.range(1)), &seconds);
        state.SetIterationTime(seconds);
        qv_delete_context(&h);
    }
    state.SetLabel(std::string(v.name) +
                   (state.range(1) ? " brute force, smooth" : " brute force, plain"));
}
BENCHMARK(BM_Smooth)
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Smooth)
    ->Args({2, 0})
    ->Args({2, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Arg: the view; counters in bytes per pixel (counts and value bytes, mask,
// fractions with smooth on), unpacked and packed.
void BM_Memory(benchmark::State& state) {
    const View& v = kViews[state.range(0)];
    const int smooth = static_cast<int>(state.range(1));
    double unpacked = 0, packed = 0, max_count = 0;
    for (auto _ : state) {
        qv_handle h = finished(v, 0, 8.0, smooth);
        quorvel::Fractal& view = internals(h).current_view();
        view.drop_ahead();
        view.release_references();
        quorvel::MaskedImage& image = *view.image();
        const double pixels = double(v.side) * v.side;
        image.unpack();
        for (size_t i = 0; i < size_t(pixels); ++i)
            max_count = std::max<double>(max_count, image.counts().get(i));
        if (qv_get_maximum_iterations(h) != v.iterations) state.SkipWithError("limit not set");
        unpacked = image.memory_size() / pixels;
        image.pack();
        packed = image.memory_size() / pixels;
        qv_delete_context(&h);
    }
    state.counters["unpacked_B_per_px"] = unpacked;
    state.counters["packed_B_per_px"] = packed;
    state.counters["largest_count"] = max_count;
    state.SetLabel(std::string(v.name) + (smooth ? ", smooth" : ""));
}
BENCHMARK(BM_Memory)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Arg: the strategy. The picture at the plain mapping against the value bytes
// through the palette, on view B (counts past 255).
void BM_PlainMapping(benchmark::State& state) {
    const int generator = static_cast<int>(state.range(0));
    size_t differing = 0;
    for (auto _ : state) {
        qv_handle h = finished(kViews[1], generator);
        quorvel::Context& ctx = internals(h);
        const std::vector<uint8_t> shown(qv_get_rgb_image(h), qv_get_rgb_image(h) + 600 * 600 * 3);
        quorvel::RgbImage plain(600, 600);
        plain.set_palette(ctx.rgb_image->palette());
        plain.set_gamma_and_supersampling(1.75f, 1);
        plain.render(ctx.current_view().image_for_use().values());
        qv_set_colour_mapping(h, 3.0, 7.0, 0);
        qv_get_rgb_image(h);
        qv_set_colour_mapping(h, 1.0, 0.0, 0);
        const uint8_t* back = qv_get_rgb_image(h);
        differing = 0;
        for (size_t i = 0; i < shown.size(); i += 3)
            differing += shown[i] != plain.pixels()[i] || shown[i + 1] != plain.pixels()[i + 1] ||
                         shown[i + 2] != plain.pixels()[i + 2] || back[i] != shown[i] ||
                         back[i + 1] != shown[i + 1] || back[i + 2] != shown[i + 2];
        qv_delete_context(&h);
    }
    state.counters["differing"] = double(differing);
    state.SetLabel(qv_describe_generator(generator));
}
BENCHMARK(BM_PlainMapping)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
