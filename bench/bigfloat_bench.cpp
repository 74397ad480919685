// One escape-time iteration of iterate_big_float against the same iteration
// written with MPFR at 192 bits, on a chaotic orbit near the boundary.
#include <benchmark/benchmark.h>
#include <gmp.h>
#include <mpfr.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "bigfloat/big_float.h"

namespace {

using quorvel::BigFloat;

constexpr const char* kCentreX = "-0.743643887037158704752191506114774";
constexpr const char* kCentreY = "0.131825904205311970493132056385139";
constexpr uint32_t kLimit = 5000;

// Decimal text to BigFloat words through MPFR at 192 bits.
BigFloat from_decimal(const char* text) {
    mpfr_t v;
    mpfr_init2(v, 192);
    mpfr_set_str(v, text, 10, MPFR_RNDN);
    mpz_t z;
    mpz_init(z);
    const mpfr_exp_t e = mpfr_get_z_2exp(z, v);
    BigFloat b;
    b.negative = mpz_sgn(z) < 0;
    mpz_abs(z, z);
    for (int i = 0; i < 6; ++i) {
        b.mant[i] = uint32_t(mpz_get_ui(z) & 0xFFFFFFFFu);
        mpz_tdiv_q_2exp(z, z, 32);
    }
    b.exponent = int32_t(e + 191);
    mpz_clear(z);
    mpfr_clear(v);
    return b;
}

class MpfrKernel {
public:
    MpfrKernel() {
        for (mpfr_ptr v : {cx_, cy_, x_, y_, t_, s_}) mpfr_init2(v, 192);
        mpfr_set_str(cx_, kCentreX, 10, MPFR_RNDN);
        mpfr_set_str(cy_, kCentreY, 10, MPFR_RNDN);
    }
    ~MpfrKernel() {
        for (mpfr_ptr v : {cx_, cy_, x_, y_, t_, s_}) mpfr_clear(v);
    }
    MpfrKernel(const MpfrKernel&) = delete;
    MpfrKernel& operator=(const MpfrKernel&) = delete;

    uint32_t iterate(uint32_t max_iterations) {
        mpfr_set(x_, cx_, MPFR_RNDN);
        mpfr_set(y_, cy_, MPFR_RNDN);
        uint32_t n = 1;
        for (;;) {
            mpfr_sqr(t_, y_, MPFR_RNDN);
            mpfr_mul(y_, y_, x_, MPFR_RNDN);
            mpfr_mul_2ui(y_, y_, 1, MPFR_RNDN);
            mpfr_add(y_, y_, cy_, MPFR_RNDN);
            mpfr_sqr(x_, x_, MPFR_RNDN);
            mpfr_add(s_, x_, t_, MPFR_RNDN);
            if (mpfr_cmp_ui(s_, 4) >= 0) return n;
            ++n;
            mpfr_sub(x_, x_, t_, MPFR_RNDN);
            mpfr_add(x_, x_, cx_, MPFR_RNDN);
            if (n >= max_iterations) return n;
        }
    }

private:
    mpfr_t cx_, cy_, x_, y_, t_, s_;
};

void report(benchmark::State& state, uint64_t steps) {
    state.counters["per_iteration"] = benchmark::Counter(
        double(steps), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["iterations"] = double(steps) / double(state.iterations());
}

void BM_IterateBigFloat(benchmark::State& state) {
    const BigFloat cx = from_decimal(kCentreX), cy = from_decimal(kCentreY);
    uint64_t steps = 0;
    for (auto _ : state) {
        const uint32_t n = quorvel::iterate_big_float(kLimit, cx, cy);
        benchmark::DoNotOptimize(n);
        steps += n;
    }
    report(state, steps);
}
BENCHMARK(BM_IterateBigFloat);

void BM_IterateMpfr(benchmark::State& state) {
    MpfrKernel kernel;
    uint64_t steps = 0;
    for (auto _ : state) {
        const uint32_t n = kernel.iterate(kLimit);
        benchmark::DoNotOptimize(n);
        steps += n;
    }
    report(state, steps);
}
BENCHMARK(BM_IterateMpfr);

void BM_IterateDouble(benchmark::State& state) {
    uint64_t steps = 0;
    for (auto _ : state) {
        const uint32_t n = quorvel::iterate_double(kLimit, -0.743643887037158704752191506114774,
                                                   0.131825904205311970493132056385139);
        benchmark::DoNotOptimize(n);
        steps += n;
    }
    report(state, steps);
}
BENCHMARK(BM_IterateDouble);

// Process CPU time, so that other load on the machine counts as little as possible.
double cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// Best of several rounds, the two kernels alternating so both see the same load.
template <typename F, typename G>
void compare_side_by_side(F&& first, G&& second, double& first_ns, double& second_ns) {
    first_ns = second_ns = 1e30;
    for (int round = 0; round < 9; ++round) {
        for (int which = 0; which < 2; ++which) {
            const double start = cpu_ns();
            uint64_t steps = 0;
            for (int k = 0; k < 10; ++k) steps += which == 0 ? first() : second();
            const double per = (cpu_ns() - start) / double(steps);
            double& best = which == 0 ? first_ns : second_ns;
            best = std::min(best, per);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // Side by side in this run: best of several rounds for each kernel.
    const BigFloat cx = from_decimal(kCentreX), cy = from_decimal(kCentreY);
    MpfrKernel mpfr;
    const uint32_t n_big = quorvel::iterate_big_float(kLimit, cx, cy);
    const uint32_t n_mpfr = mpfr.iterate(kLimit);
    double big = 0, ref = 0;
    compare_side_by_side([&] { return quorvel::iterate_big_float(kLimit, cx, cy); },
                         [&] { return mpfr.iterate(kLimit); }, big, ref);
    std::printf("iterations: BigFloat %u, MPFR %u (limit %u)\n", n_big, n_mpfr, kLimit);
    std::printf("BigFloat %.2f ns/iteration, MPFR %.2f ns/iteration, BigFloat is %.2fx faster\n",
                big, ref, ref / big);
    return 0;
}
