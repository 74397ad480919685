// Dispatch of the extended batch kernel, its scalar form, and the records.
#include "deep/perturbation_ext_batch.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "deep/perturbation_bla_ext.h"
#include "deep/perturbation_ext_walk.h"

namespace quorvel {

#if defined(__x86_64__)
bool iterate_perturbed_ext_batch_sse2(const ExtBatch&, uint32_t, Orbit*, size_t, const Budget&);
bool iterate_bla_ext_lanes_sse2(const ExtBatch&, const BlaTable<ExtFloat>&, const double*, uint32_t,
                                Orbit*, size_t, const Budget&);
#if defined(__GNUC__)
bool iterate_perturbed_ext_batch_avx2(const ExtBatch&, uint32_t, Orbit*, size_t, const Budget&);
bool iterate_perturbed_ext_batch_avx512(const ExtBatch&, uint32_t, Orbit*, size_t, const Budget&);
bool iterate_bla_ext_lanes_avx2(const ExtBatch&, const BlaTable<ExtFloat>&, const double*, uint32_t,
                                Orbit*, size_t, const Budget&);
bool iterate_bla_ext_lanes_avx512(const ExtBatch&, const BlaTable<ExtFloat>&, const double*,
                                  uint32_t, Orbit*, size_t, const Budget&);
#endif
#endif

namespace {

// keep_ext_error: error = extra 2^(1024 q), and cy = q 2^32 + skipped, which
// is exact for q in [-2^21, 2^21). The top q stands for kBeyond.
constexpr int64_t kErrorStep = 1024;
constexpr int64_t kLowestQ = -(int64_t{1} << 21), kBeyondQ = (int64_t{1} << 21) - 1;
constexpr int64_t kBeyond = int64_t{1} << 40;

}  // namespace

ExtPixelState ext_record_state(const Orbit& o) {
    if (o.n == 0) return ExtPixelState{};
    const auto k = static_cast<int64_t>(o.cx);
    const auto packed = static_cast<int64_t>(o.cy);
    const int64_t q = packed >> 32;
    ExtPixelState s{ExtFloat::make(o.x, k),
                    ExtFloat::make(o.y, k),
                    o.aux,
                    o.n,
                    ExtFloat::make(o.extra, q == kBeyondQ ? kBeyond : q * kErrorStep),
                    ext_record_seen(o)};
    s.skipped = static_cast<uint32_t>(packed & 0xffffffff);
    return s;
}

void keep_ext_error(ExtFloat error, uint32_t skipped, Orbit& o) {
    // e = 1024 q + j, j in [-512, 511], so that extra = m 2^j is a normal
    // double (zero and non-finite errors have e = 0).
    int64_t q = (error.e + kErrorStep / 2) >> 10;
    double extra = std::ldexp(error.m, static_cast<int>(error.e - q * kErrorStep));
    if (q >= kBeyondQ) {
        q = kBeyondQ;
        extra = 1.0;
    } else if (q < kLowestQ) {
        q = kLowestQ;
        extra = 0x1p-512;
    }
    o.extra = extra;
    o.cy = static_cast<double>(q * (int64_t{1} << 32) + int64_t{skipped});
}

ExtSeen ext_record_seen(const Orbit& o) {
    ExtSeen seen;
    if (o.n == 0) return seen;
    seen.n = o.seen_n;
    if (o.seen_n == 0) return seen;
    seen.x = ExtFloat::make(o.seen_x, o.seen_k);
    seen.y = ExtFloat::make(o.seen_y, o.seen_k);
    seen.m = o.seen_aux;
    return seen;
}

void keep_ext_seen(const ExtSeen& seen, Orbit& o) {
    const int64_t k = seen.x.is_zero()   ? seen.y.e
                      : seen.y.is_zero() ? seen.x.e
                                         : std::max(seen.x.e, seen.y.e);
    // x and y at the larger scale, where that loses nothing.
    const auto at_k = [k](ExtFloat v) {
        return std::ldexp(v.m, static_cast<int>(std::max<int64_t>(v.e - k, -2000)));
    };
    const double x = at_k(seen.x), y = at_k(seen.y);
    const bool kept = k >= INT32_MIN && k <= INT32_MAX &&
                      ExtFloat::make(x, k) == ExtFloat::make(seen.x.m, seen.x.e) &&
                      ExtFloat::make(y, k) == ExtFloat::make(seen.y.m, seen.y.e);
    o.seen_n = seen.n;
    o.seen_x = kept ? x : std::numeric_limits<double>::quiet_NaN();
    o.seen_y = y;
    o.seen_k = kept ? static_cast<int32_t>(k) : 0;
    o.seen_aux = seen.m;
}

void form_lane_values(const ExtOrbitSpan& orbit, std::vector<double>& re, std::vector<double>& im) {
    auto read = [](const ExtFloat& z) { return z.e >= -1022 ? z.to_double() : 0.0; };
    re.resize(size_t{orbit.length} + 1);
    im.resize(size_t{orbit.length} + 1);
    for (uint32_t i = 0; i < orbit.length; ++i) {
        re[i] = read(orbit.re[i]);
        im[i] = read(orbit.im[i]);
    }
    if (orbit.length > 0) re[orbit.length - 1] = im[orbit.length - 1] = std::nan("");
    re[orbit.length] = 0.5;
    im[orbit.length] = 0.0;
}

namespace {

// Iterations between two looks at the budget.
constexpr uint32_t kScalarCheck = 4096;

void pack(const ExtWalk& w, Orbit& o) {
    o.x = w.wx;
    o.y = w.wy;
    o.cx = static_cast<double>(w.k);
    keep_ext_error(ExtFloat::make(w.eps, w.ke), w.skipped, o);
    o.aux = w.m;
    o.n = w.n;
    keep_ext_seen(w.seen, o);
}

// One pixel after another, each walked without leaving the loop's state
// between looks at the budget.
bool iterate_scalar(const ExtBatch& b, uint32_t max_iterations, Orbit* records, size_t count,
                    const Budget& budget) {
    uint64_t steps = 0;
    for (size_t i = 0; i < count; ++i) {
        Orbit& o = records[i];
        if (o.done) continue;
        const uint32_t pixel = b.pixels[i];
        const ExtPixelKernel kernel(b.orbit, max_iterations, b.dcx[pixel % b.width],
                                    b.dcy[pixel / b.width]);
        ExtWalk w;
        kernel.enter(ext_record_state(o), w);
        for (;;) {
            // A step budget ends exactly, as on the lanes.
            const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(
                kScalarCheck, budget.max_steps - std::min(steps, budget.max_steps)));
            const uint32_t before = w.n;
            uint32_t result = 0;
            if (chunk > 0 && kernel.advance(w, chunk, result)) {
                o.n = result;
                o.done = true;
                o.x = w.escaped.x;
                o.y = w.escaped.y;
                const uint32_t last = result == max_iterations ? w.n + 1 : result;
                steps += last - std::min(last, before);
                break;
            }
            steps += w.n - before;
            if (steps >= budget.max_steps || budget.time_over()) {
                pack(w, o);
                return false;
            }
        }
        if (&o == budget.wanted)
            return std::all_of(records + i, records + count, [](const Orbit& r) { return r.done; });
        // Between pixels too, so that short pixels end a budget as well.
        if (i + 1 < count && (steps >= budget.max_steps || budget.time_over())) return false;
    }
    return true;
}

}  // namespace

bool iterate_perturbed_ext_batch_at(SimdLevel level, const ExtBatch& batch, uint32_t max_iterations,
                                    Orbit* records, size_t count, const Budget& budget) {
    switch (static_cast<int>(level) > static_cast<int>(best_simd_level()) ? best_simd_level()
                                                                          : level) {
#if defined(__x86_64__)
        case SimdLevel::sse2:
            return iterate_perturbed_ext_batch_sse2(batch, max_iterations, records, count, budget);
#if defined(__GNUC__)
        case SimdLevel::avx2:
            return iterate_perturbed_ext_batch_avx2(batch, max_iterations, records, count, budget);
        case SimdLevel::avx512:
            return iterate_perturbed_ext_batch_avx512(batch, max_iterations, records, count,
                                                      budget);
#endif
#endif
        default:
            return iterate_scalar(batch, max_iterations, records, count, budget);
    }
}

bool iterate_bla_ext_lanes_at(SimdLevel level, const ExtBatch& batch,
                              const BlaTable<ExtFloat>& table, const double* gates,
                              uint32_t max_iterations, Orbit* records, size_t count,
                              const Budget& budget, bool& all_done) {
    switch (static_cast<int>(level) > static_cast<int>(best_simd_level()) ? best_simd_level()
                                                                          : level) {
#if defined(__x86_64__)
        case SimdLevel::sse2:
            all_done = iterate_bla_ext_lanes_sse2(batch, table, gates, max_iterations, records,
                                                  count, budget);
            return true;
#if defined(__GNUC__)
        case SimdLevel::avx2:
            all_done = iterate_bla_ext_lanes_avx2(batch, table, gates, max_iterations, records,
                                                  count, budget);
            return true;
        case SimdLevel::avx512:
            all_done = iterate_bla_ext_lanes_avx512(batch, table, gates, max_iterations, records,
                                                    count, budget);
            return true;
#endif
#endif
        default:
            return false;
    }
}

bool iterate_perturbed_ext_batch(const ExtBatch& batch, uint32_t max_iterations, Orbit* records,
                                 size_t count, const Budget& budget) {
    return iterate_perturbed_ext_batch_at(active_simd_level(), batch, max_iterations, records,
                                          count, budget);
}

}  // namespace quorvel
