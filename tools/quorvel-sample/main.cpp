// quorvel-sample: counts of sampled pixels of a view iterated with 512-bit MPFR,
// compared with the engine's two deep kernels, so their accuracy can be
// measured again on any view.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "deep/perturbation_plan.h"
#include "mpfr_count.h"
#include "view/fractal.h"

namespace {

using namespace quorvel;

constexpr const char* kHelp =
    R"(usage: quorvel-sample --centre X Y --radius R [--iterations N] [--size WxH]
                      [--samples K] [--seed S] [--bits B] [--list]
                      [--coordinates X Y]

Picks K pixels of the view (at random, seed S; all of them when K is at least
the pixel count), iterates each with MPFR at B bits (default 512) and with the
engine's 192-bit kernel and its perturbation kernel, and prints how many of
their pixel bytes differ from MPFR's. X and Y are decimal or the engine's
hexadecimal text (which keeps all 192 bits). Defaults: 5000 iterations,
600x600, 200 samples, seed 1. --list prints every sample: column, row, MPFR
count and the three bytes. --coordinates X Y prints the hexadecimal text of
pixel (X, Y)'s coordinates instead, to centre a deeper view on it.
)";

struct Args {
    const char* x = nullptr;
    const char* y = nullptr;
    double radius = 0.0;
    uint32_t iterations = 5000;
    int width = 600, height = 600;
    size_t samples = 200;
    unsigned seed = 1;
    long bits = 512;
    bool list = false;
    int coordinate_x = -1, coordinate_y = -1;
};

bool parse(int argc, char** argv, Args& a) {
    for (int i = 1; i < argc; ++i) {
        const std::string o = argv[i];
        const bool has = i + 1 < argc;
        if (o == "--centre" && i + 2 < argc) {
            a.x = argv[++i];
            a.y = argv[++i];
        } else if (o == "--radius" && has) {
            a.radius = std::strtod(argv[++i], nullptr);
        } else if (o == "--iterations" && has) {
            a.iterations = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (o == "--size" && has) {
            if (std::sscanf(argv[++i], "%dx%d", &a.width, &a.height) != 2) return false;
        } else if (o == "--samples" && has) {
            a.samples = std::strtoul(argv[++i], nullptr, 10);
        } else if (o == "--seed" && has) {
            a.seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (o == "--bits" && has) {
            a.bits = std::strtol(argv[++i], nullptr, 10);
        } else if (o == "--coordinates" && i + 2 < argc) {
            a.coordinate_x = std::atoi(argv[++i]);
            a.coordinate_y = std::atoi(argv[++i]);
        } else if (o == "--list") {
            a.list = true;
        } else {
            return false;
        }
    }
    return a.x && a.radius > 0.0 && a.radius < 2.0 && a.iterations >= 2 && a.width > 0 &&
           a.height > 0 && a.width <= 32767 && a.height <= 32767 && a.samples > 0 && a.bits >= 64;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (!parse(argc, argv, a)) {
        std::fputs(kHelp, stderr);
        return 2;
    }
    Fractal exact(a.width, a.height);
    exact.set_view(BigFloat(a.x), BigFloat(a.y), a.radius);
    exact.set_max_iterations(a.iterations);
    exact.set_deep_kernel(DeepKernel::exact);
    if (a.coordinate_x >= 0) {
        exact.prepare(false);
        if (a.coordinate_x >= a.width || a.coordinate_y < 0 || a.coordinate_y >= a.height) return 2;
        char x[64], y[64];
        exact.column_coordinate(a.coordinate_x).to_text(x);
        exact.row_coordinate(a.coordinate_y).to_text(y);
        std::printf("%s %s\n", x, y);
        return 0;
    }
    Fractal perturbed(exact);
    perturbed.set_deep_kernel(DeepKernel::perturbation);
    exact.prepare(true);
    perturbed.prepare(true);

    // Distinct pixels: a partial shuffle of all of them.
    const size_t total = static_cast<size_t>(a.width) * static_cast<size_t>(a.height);
    std::vector<uint32_t> pixels;
    if (a.samples >= total) {
        for (size_t p = 0; p < total; ++p) pixels.push_back(static_cast<uint32_t>(p));
    } else {
        std::mt19937_64 random(a.seed);
        std::vector<uint32_t> all(total);
        for (size_t p = 0; p < total; ++p) all[p] = static_cast<uint32_t>(p);
        for (size_t k = 0; k < a.samples; ++k) {
            std::uniform_int_distribution<size_t> pick(k, total - 1);
            std::swap(all[k], all[pick(random)]);
        }
        pixels.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(a.samples));
    }

    size_t exact_wrong = 0, perturbed_wrong = 0;
    // The pixels' exact places: for a view deeper than 192-bit coordinates
    // hold, the tables are only their roundings.
    const GridCoordinates grid = perturbed.grid_coordinates();
    MpfrNumber cx(a.bits), cy(a.bits);
    for (const uint32_t p : pixels) {
        const int32_t x = static_cast<int32_t>(p % static_cast<uint32_t>(a.width));
        const int32_t y = static_cast<int32_t>(p / static_cast<uint32_t>(a.width));
        grid.set_column(cx.get(), x);
        grid.set_row(cy.get(), y);
        const uint32_t n = sample::mpfr_count(cx.get(), cy.get(), a.iterations, a.bits);
        const uint8_t truth = sample::pixel_byte(n, exact.max_iterations());
        const auto e = static_cast<uint8_t>(exact.pixel_value(x, y));
        const auto q = static_cast<uint8_t>(perturbed.pixel_value(x, y));
        exact_wrong += e != truth;
        perturbed_wrong += q != truth;
        if (a.list) std::printf("%d %d %u %u %u %u\n", x, y, n, truth, e, q);
    }
    const double share = 100.0 / static_cast<double>(pixels.size());
    std::printf("pixels %zu, %s path, %d-bit MPFR\n", pixels.size(),
                exact.uses_big_float() ? "deep" : "double", static_cast<int>(a.bits));
    std::printf("192-bit kernel: %zu differ (%.3f%%)\n", exact_wrong, exact_wrong * share);
    std::printf("perturbation:   %zu differ (%.3f%%)", perturbed_wrong, perturbed_wrong * share);
    if (const PerturbationPlan* plan = perturbed.perturbation_plan())
        std::printf(", %zu references", plan->reference_count());
    std::printf("\n");
    return 0;
}
