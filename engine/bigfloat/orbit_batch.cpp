// Dispatch of the batch kernel, its portable scalar form, and the resumable
// 192-bit kernel.
#include "bigfloat/orbit_batch.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bigfloat/big_float_lanes.h"
#include "bigfloat/big_orbit.h"

namespace quorvel {

#if defined(__x86_64__)
bool iterate_double_batch_sse2(uint32_t, Orbit*, size_t, const Budget&);
#if defined(__GNUC__)
bool iterate_double_batch_avx2(uint32_t, Orbit*, size_t, const Budget&);
bool iterate_double_batch_avx512(uint32_t, Orbit*, size_t, const Budget&);
#endif
#endif

namespace {

// Iterations between two looks at the budget in the one-lane kernels.
constexpr uint32_t kScalarCheck = 4096;
// Iterations between two looks for a repeated z there.
constexpr uint32_t kLook = 8;

// iterate_double's loop, entered with z and n from the record and left when the
// budget ends.
bool iterate_double_scalar(uint32_t max_iterations, Orbit* orbits, size_t count,
                           const Budget& budget) {
    uint64_t steps = 0;
    // A test's small step budget is looked at as often as it needs.
    const uint32_t check = budget.max_steps < kScalarCheck
                               ? std::max<uint32_t>(uint32_t(budget.max_steps), 1)
                               : kScalarCheck;
    for (size_t i = 0; i < count; ++i) {
        Orbit& o = orbits[i];
        if (o.done) continue;
        const double cx = o.cx, cy = o.cy;
        double x = o.x, y = o.y;
        uint32_t n = o.n;
        CycleWatch seen{o};
        // Repeats are looked for every kLook counts, behind the one test of
        // the limit.
        uint32_t stop = std::min(max_iterations, n + kLook);
        uint32_t until_check = check;
        while (double_step(cx, cy, x, y)) {
            if (++n >= stop) [[unlikely]] {
                if (n >= max_iterations) break;
                if (seen.repeats(x, y)) {
                    n = max_iterations;
                    break;
                }
                if (n >= seen.next) seen.remember(x, y, n);
                stop = max_iterations - n > kLook ? n + kLook : max_iterations;
            }
            if (--until_check == 0) {
                steps += check;
                until_check = check;
                if (steps >= budget.max_steps || budget.time_over()) {
                    o.x = x;
                    o.y = y;
                    o.n = n;
                    seen.keep(o);
                    return false;
                }
            }
        }
        o.x = x;
        o.y = y;
        o.n = n;
        o.done = true;
        steps += check - until_check;
        if (&o == budget.wanted)
            return std::all_of(orbits + i, orbits + count, [](const Orbit& r) { return r.done; });
    }
    return true;
}

SimdLevel detect_best() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        return SimdLevel::avx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::avx2;
    return SimdLevel::sse2;
#elif defined(__x86_64__)
    return SimdLevel::sse2;
#else
    return SimdLevel::scalar;
#endif
}

SimdLevel clamp_to_best(SimdLevel level) {
    const SimdLevel best = best_simd_level();
    return static_cast<int>(level) > static_cast<int>(best) ? best : level;
}

// The level in use; -1 until the environment has been read.
std::atomic<int> g_level{-1};

}  // namespace

SimdLevel simd_level_for(const char* text) {
    const SimdLevel best = best_simd_level();
    if (text == nullptr || *text == '\0') return best;
    for (int i = 0; i <= static_cast<int>(SimdLevel::avx512); ++i) {
        const auto level = static_cast<SimdLevel>(i);
        if (std::strcmp(text, simd_level_name(level)) != 0) continue;
        if (i > static_cast<int>(best))
            std::fprintf(stderr, "quorvel: QUORVEL_SIMD=%s not supported here, using %s\n", text,
                         simd_level_name(best));
        return clamp_to_best(level);
    }
    std::fprintf(stderr, "quorvel: QUORVEL_SIMD=%s unknown, using %s\n", text,
                 simd_level_name(best));
    return best;
}

SimdLevel best_simd_level() {
    static const SimdLevel best = detect_best();
    return best;
}

SimdLevel active_simd_level() {
    int level = g_level.load(std::memory_order_relaxed);
    if (level < 0) {
        int expected = -1;
        const int chosen = static_cast<int>(simd_level_for(std::getenv("QUORVEL_SIMD")));
        // A concurrent first call, or set_simd_level, may have won the race.
        g_level.compare_exchange_strong(expected, chosen);
        level = g_level.load(std::memory_order_relaxed);
    }
    return static_cast<SimdLevel>(level);
}

SimdLevel set_simd_level(SimdLevel level) {
    const SimdLevel used = clamp_to_best(level);
    g_level.store(static_cast<int>(used), std::memory_order_relaxed);
    return used;
}

const char* simd_level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::scalar:
            return "scalar";
        case SimdLevel::sse2:
            return "sse2";
        case SimdLevel::avx2:
            return "avx2";
        case SimdLevel::avx512:
            return "avx512";
    }
    return "scalar";
}

bool iterate_double_batch_at(SimdLevel level, uint32_t max_iterations, Orbit* orbits, size_t count,
                             const Budget& budget) {
    switch (clamp_to_best(level)) {
#if defined(__x86_64__)
        case SimdLevel::sse2:
            return iterate_double_batch_sse2(max_iterations, orbits, count, budget);
#if defined(__GNUC__)
        case SimdLevel::avx2:
            return iterate_double_batch_avx2(max_iterations, orbits, count, budget);
        case SimdLevel::avx512:
            return iterate_double_batch_avx512(max_iterations, orbits, count, budget);
#endif
#endif
        default:
            return iterate_double_scalar(max_iterations, orbits, count, budget);
    }
}

bool iterate_double_batch(uint32_t max_iterations, Orbit* orbits, size_t count,
                          const Budget& budget) {
    return iterate_double_batch_at(active_simd_level(), max_iterations, orbits, count, budget);
}

bool big_float_uses_mulx() {
#if defined(__x86_64__) && defined(__GNUC__)
    // CPUID leaf 7: BMI2 is bit 8 of EBX, ADX bit 19.
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && ((b >> 8) & 1) != 0 &&
               ((b >> 19) & 1) != 0;
    }();
    return has && active_simd_level() != SimdLevel::scalar;
#else
    return false;
#endif
}

bool iterate_big_float_resumable(uint32_t max_iterations, const BigFloat& cx, const BigFloat& cy,
                                 BigOrbit& orbit, const Budget& budget) {
    if (big_float_uses_mulx())
        return iterate_big_float_resumable_mulx(max_iterations, cx, cy, orbit, budget);
    return resume_big_orbit(max_iterations, cx, cy, orbit, budget);
}

}  // namespace quorvel
