// Batch escape-time kernels: many pixels at once on every SIMD lane the
// processor has, each pixel getting exactly the count of iterate_double, and
// resumable when a time budget ends in the middle of a pixel.
//
// The contract every per-pixel kernel follows (the double kernel here; a kernel
// of another kind keeps the same shape):
//   - the caller hands over an array of Orbit records; a record with
//     done == false is work, one with done == true is skipped;
//   - the kernel loads pending records into lanes in array order; when a lane's
//     pixel escapes or reaches the limit, its record gets done = true and n =
//     the count, and the lane is refilled at once from the array; the double
//     kernel also leaves the escaped z (after n - 1 steps) in x, y;
//   - when the Budget ends, the records in flight get their z and n written
//     back (done stays false) and the call returns false; calling again with
//     the same array resumes them, and the counts equal those of an
//     uninterrupted run; Budget::wanted ends a call the same way as soon as
//     one given record is done.
// Fractal (view/fractal.h) owns the list of pixels in flight (Lookahead) and
// picks the kernel by the view's kind in Fractal::run_ahead; a kernel of a new
// kind adds its branch there and keeps its per-pixel state in Orbit (aux is
// free for it) or beside the list, as the 192-bit kernel does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "base/stopwatch.h"
#include "bigfloat/big_float.h"

namespace quorvel {

// The state of one pixel's orbit. A fresh pixel starts at z = c and n = 1.
struct Orbit {
    // The pixel's constant; the extended kernels, whose dc lives elsewhere, keep
    // scales and counts here (deep/perturbation_ext_batch.h).
    double cx, cy;
    double x, y;   // z after n - 1 steps
    uint32_t n;    // the count reached; the escape count once done
    uint32_t aux;  // not used by the double kernel; free for kernels of other kinds
    bool done;
    // The scale of seen_x and seen_y (below), for kernels that scale them, or
    // a count of the kernel's own; kept here, in what would be padding after
    // `done`, so a record takes 80 bytes.
    int32_t seen_k = 0;
    double extra = 0.0;  // likewise: the perturbation kernel keeps its error estimate here
    // Cycle detection: z as it was at count seen_n (NaN: nothing seen yet). A
    // later z equal to it bit for bit repeats forever and never escapes.
    double seen_x = std::numeric_limits<double>::quiet_NaN();
    double seen_y = std::numeric_limits<double>::quiet_NaN();
    uint32_t seen_n = 0;
    uint32_t seen_aux = 0;  // aux as it was then, for kernels whose state holds it
};
// The batch lists hold a record per pixel waiting: keep it small.
static_assert(sizeof(Orbit) == 80);

inline Orbit fresh_orbit(double cx, double cy) { return Orbit{cx, cy, cx, cy, 1, 0, false}; }

// Brent's cycle detection on one lane: z is remembered at counts that double
// each time, and each z is compared with the one remembered.
struct CycleWatch {
    double x, y;
    uint32_t n;
    uint32_t next;  // the count at which z is remembered next

    explicit CycleWatch(const Orbit& o)
        : x(o.seen_x), y(o.seen_y), n(o.seen_n), next(next_mark(o.seen_n)) {}
    static uint32_t next_mark(uint32_t n) { return n > UINT32_MAX / 2 ? UINT32_MAX : 2 * n; }
    // True when z equals the z remembered.
    [[gnu::always_inline]] bool repeats(double zx, double zy) const { return zx == x && zy == y; }
    // Remembers z at count `count` (due from `next` on).
    void remember(double zx, double zy, uint32_t count) {
        x = zx;
        y = zy;
        n = count;
        next = next_mark(count);
    }
    void keep(Orbit& o) const {
        o.seen_x = x;
        o.seen_y = y;
        o.seen_n = n;
    }
};

// Continues one orbit on one lane for at most `steps` iterations, with
// iterate_double's operations; true (done set, n the count) when the pixel
// escaped or reached the limit, otherwise z and n are kept in the record.
inline bool advance_orbit(uint32_t max_iterations, Orbit& o, uint32_t steps) {
    const double cx = o.cx, cy = o.cy;
    double x = o.x, y = o.y;
    uint32_t n = o.n;
    for (uint32_t s = 0; s < steps; ++s) {
        if (!double_step(cx, cy, x, y)) break;
        if (++n >= max_iterations) break;
        if (s + 1 < steps) continue;
        o.x = x;
        o.y = y;
        o.n = n;
        return false;
    }
    if (steps == 0) return false;
    o.x = x;
    o.y = y;
    o.n = n;
    o.done = true;
    return true;
}

// When a batch must stop: `seconds` after the watch's mark (no watch: never),
// or, for tests that need a pause at a known point, after `max_steps` kernel
// steps of one call. Kernels look at the clock every few thousand iterations.
struct Budget {
    const Stopwatch* watch = nullptr;
    double seconds = 0.0;
    uint64_t max_steps = UINT64_MAX;
    // When set, the batch also stops as soon as this record is done (pixels
    // in flight keep their state, as at the end of the budget).
    const Orbit* wanted = nullptr;

    bool time_over() const { return watch != nullptr && watch->elapsed() >= seconds; }
};

// Instruction sets the double kernel can use, narrowest first.
enum class SimdLevel : int { scalar = 0, sse2 = 1, avx2 = 2, avx512 = 3 };

// The widest level this processor supports (and the build can use).
SimdLevel best_simd_level();
// The level batches use: QUORVEL_SIMD=scalar|sse2|avx2|avx512 when set (a
// level the processor lacks falls back to the best it has, with one line on
// stderr), otherwise the best. Decided at the first call.
SimdLevel active_simd_level();
// The level QUORVEL_SIMD=text selects here: the best level for null or empty
// text; one line on stderr when the text is unknown or the processor lacks it.
SimdLevel simd_level_for(const char* text);
// Forces the level for the whole process (tests, benchmarks); a level the
// processor lacks becomes the best it has. Returns the level now in use.
SimdLevel set_simd_level(SimdLevel level);
// "scalar", "sse2", "avx2" or "avx512".
const char* simd_level_name(SimdLevel level);

// Runs orbits[0 .. count) as described above at the active level; true when
// every record is done.
bool iterate_double_batch(uint32_t max_iterations, Orbit* orbits, size_t count,
                          const Budget& budget);
// The same at a given level (clamped to what the processor has).
bool iterate_double_batch_at(SimdLevel level, uint32_t max_iterations, Orbit* orbits, size_t count,
                             const Budget& budget);

// The 192-bit kernel, resumable one pixel at a time: z and n live in the
// caller's record between calls, and an escaped pixel leaves its z_n there.
struct BigOrbit {
    BigFloat x, y;
    uint32_t n = 0;  // 0: not started
    // Cycle detection: z as it was at count seen_n (0: nothing seen yet).
    BigFloat seen_x, seen_y;
    uint32_t seen_n = 0;
};
// Continues `orbit` for c = (cx, cy); true with the count in orbit.n once the
// pixel escapes or reaches the limit, false when the budget ended first.
bool iterate_big_float_resumable(uint32_t max_iterations, const BigFloat& cx, const BigFloat& cy,
                                 BigOrbit& orbit, const Budget& budget);

// Internal: whether the 192-bit kernels use the mulx/adx products (processor
// with BMI2 and ADX, SIMD level above scalar), and those kernels.
bool big_float_uses_mulx();
uint32_t iterate_big_float_mulx(uint32_t max_iterations, const BigFloat& cx, const BigFloat& cy,
                                EscapedZ* z = nullptr);
bool iterate_big_float_resumable_mulx(uint32_t max_iterations, const BigFloat& cx,
                                      const BigFloat& cy, BigOrbit& orbit, const Budget& budget);

}  // namespace quorvel
