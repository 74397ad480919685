// The extended perturbation kernel against the double one, in CPU ns per
// pixel-iteration (compare the ratio: the machine may be shared):
//   - both kernels on the same pixels of a boundary view 1e-40 across (counts
//     2500 to 4000), where they give the same counts;
//   - the extended kernel alone beside c = i at 1e-1000 and 1e-5000, where
//     doubles underflow (counts about 2650 and 13300).
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "deep/mpfr_number.h"
#include "deep/perturbation_ext.h"
#include "deep/perturbation_plan.h"
#include "view/fractal.h"

namespace {

using namespace quorvel;

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

struct Pixels {
    std::vector<double> ore, oim;    // the orbit as doubles
    std::vector<ExtFloat> ere, eim;  // and extended
    bool escaped = false;
    uint32_t limit = 0;
    std::vector<ExtFloat> dcx, dcy;

    OrbitSpan span() const { return {ore.data(), oim.data(), uint32_t(ore.size()), escaped}; }
    ExtOrbitSpan ext_span() const {
        return {ere.data(), eim.data(), uint32_t(ere.size()), escaped};
    }
};

// 24 x 24 pixels of the 1e-40 view of deep_bench (P 1e-40) on its searched reference.
Pixels view_1e40() {
    constexpr int32_t kSide = 24;
    Fractal view(kSide, kSide);
    view.set_view(BigFloat("-B.E5F721E91B8DA48AD8D3740AACDC2740ED39E747A2E74x-1"),
                  BigFloat("+8.6FD5EAE7E864DDA1DE2AEA24B878503D24F3EB2477B3x-3"), 1e-40);
    view.prepare(false);
    std::vector<BigFloat> columns, rows;
    for (int32_t i = 0; i < kSide; ++i) {
        columns.push_back(view.column_coordinate(i));
        rows.push_back(view.row_coordinate(i));
    }
    PerturbationPlan plan(columns, rows, 1e-40, 5000);
    Pixels p;
    p.limit = 5000;
    const double* dcx = plan.column_offsets();
    const double* dcy = plan.row_offsets();
    const ReferenceOrbit& main = plan.main_orbit();
    p.ore.assign(main.re(), main.re() + main.length());
    p.oim.assign(main.im(), main.im() + main.length());
    for (uint32_t i = 0; i < main.length(); ++i) {
        p.ere.push_back(ExtFloat(p.ore[i]));
        p.eim.push_back(ExtFloat(p.oim[i]));
    }
    p.escaped = main.escaped();
    for (int32_t y = 0; y < kSide; ++y)
        for (int32_t x = 0; x < kSide; ++x) {
            p.dcx.push_back(ExtFloat(dcx[x]));
            p.dcy.push_back(ExtFloat(dcy[y]));
        }
    return p;
}

// `count` pixels within 2^-log2_radius of i, on a reference 2^-20 radii from
// i computed with MPFR at 64 bits more than the depth.
Pixels beside_i(int64_t log2_radius, uint32_t limit, int count) {
    const mpfr_prec_t bits = log2_radius + 64;
    MpfrNumber cr(bits), ci(bits), x(bits), y(bits), xx(bits), yy(bits), r(bits);
    set_from_ext(cr.get(), ExtFloat::make(0.6, -log2_radius - 20));
    set_from_ext(ci.get(), ExtFloat::make(0.8, -log2_radius - 20));
    mpfr_add_ui(ci.get(), ci.get(), 1, MPFR_RNDN);
    mpfr_set_zero(x.get(), 1);
    mpfr_set_zero(y.get(), 1);
    Pixels p;
    p.limit = limit;
    for (;;) {
        p.ere.push_back(ext_from_mpfr(x.get()));
        p.eim.push_back(ext_from_mpfr(y.get()));
        mpfr_sqr(xx.get(), x.get(), MPFR_RNDN);
        mpfr_sqr(yy.get(), y.get(), MPFR_RNDN);
        mpfr_add(r.get(), xx.get(), yy.get(), MPFR_RNDN);
        p.escaped = mpfr_cmp_ui(r.get(), 4) >= 0;
        if (p.escaped || p.ere.size() >= limit) break;
        mpfr_mul(y.get(), x.get(), y.get(), MPFR_RNDN);
        mpfr_mul_2ui(y.get(), y.get(), 1, MPFR_RNDN);
        mpfr_add(y.get(), y.get(), ci.get(), MPFR_RNDN);
        mpfr_sub(x.get(), xx.get(), yy.get(), MPFR_RNDN);
        mpfr_add(x.get(), x.get(), cr.get(), MPFR_RNDN);
    }
    // Pixels on a circle of 0.3 to 0.9 radii around i.
    for (int k = 0; k < count; ++k) {
        const double angle = 2.399963 * k, rho = 0.3 + 0.6 * (k % 7) / 6.0;
        p.dcx.push_back(ExtFloat::make(rho * std::cos(angle), -log2_radius) -
                        ExtFloat::make(0.6, -log2_radius - 20));
        p.dcy.push_back(ExtFloat::make(rho * std::sin(angle), -log2_radius) -
                        ExtFloat::make(0.8, -log2_radius - 20));
    }
    return p;
}

std::map<std::string, double> g_ns;

// CPU ns per iteration over all pixels, the count of a refused pixel
// counting as the limit.
template <class Kernel>
void run(benchmark::State& state, const Pixels& p, const std::string& name, Kernel kernel) {
    double seconds = 0;
    uint64_t iterations = 0;
    for (auto _ : state) {
        const double start = cpu_seconds();
        for (size_t i = 0; i < p.dcx.size(); ++i) {
            const uint32_t n = kernel(p, i);
            iterations += n == kNeedsOtherReference ? p.limit : n;
        }
        seconds += cpu_seconds() - start;
    }
    const double ns = 1e9 * seconds / double(iterations);
    state.counters["ns_per_iteration"] = ns;
    g_ns[name] = ns;
}

uint32_t double_kernel(const Pixels& p, size_t i) {
    return iterate_perturbed(p.span(), p.limit, p.dcx[i].to_double(), p.dcy[i].to_double());
}

uint32_t ext_kernel(const Pixels& p, size_t i) {
    return iterate_perturbed_ext(p.ext_span(), p.limit, p.dcx[i], p.dcy[i]);
}

}  // namespace

int main(int argc, char** argv) {
    const Pixels shallow = view_1e40();
    const Pixels deep1000 = beside_i(3322, 4000, 96);
    const Pixels deep5000 = beside_i(16610, 16000, 24);
    benchmark::RegisterBenchmark("1e-40/double", [&](benchmark::State& s) {
        run(s, shallow, "1e-40 double", double_kernel);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("1e-40/extended", [&](benchmark::State& s) {
        run(s, shallow, "1e-40 extended", ext_kernel);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("1e-1000/extended", [&](benchmark::State& s) {
        run(s, deep1000, "1e-1000 extended", ext_kernel);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("1e-5000/extended", [&](benchmark::State& s) {
        run(s, deep5000, "1e-5000 extended", ext_kernel);
    })->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nCPU ns per pixel-iteration\n");
    for (const auto& [name, ns] : g_ns) std::printf("%s: %.2f\n", name.c_str(), ns);
    if (g_ns.count("1e-40 double") && g_ns.count("1e-40 extended"))
        std::printf("extended / double at 1e-40: %.2f\n",
                    g_ns["1e-40 extended"] / g_ns["1e-40 double"]);
    return 0;
}
