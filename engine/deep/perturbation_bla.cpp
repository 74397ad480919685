#include "deep/perturbation_bla.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "deep/bla_batch.h"
#include "deep/perturbation_bla_ext.h"
#include "deep/perturbation_ext_walk.h"

namespace quorvel {

namespace {

// Steps between two looks at the budget.
constexpr uint64_t kStepsPerCheck = 1024;
// Linear steps start only at indices 1 + j 2^k, k the table's first level.
template <class T>
uint32_t align_mask(const BlaTable<T>& table) {
    return (1u << table.first_level()) - 1;
}

bool aligned(uint32_t m, uint32_t mask) { return m != 0 && ((m - 1) & mask) == 0; }

constexpr double kLow = 4.0 - 4.0 * kUndecidedEscape;

// |dz|^2 of the walk's dz as leave() gives it. Where both squares are normal,
// or the smaller is below a quarter of the larger's last place, the double
// sum rounds as the ExtFloat one.
ExtFloat walk_norm(const ExtWalk& w) {
    const double a = std::max(std::fabs(w.wx), std::fabs(w.wy));
    if (a >= 0x1p-480 && a <= 0x1p500) [[likely]]
        return ExtFloat::make(w.wx * w.wx + w.wy * w.wy, 2 * w.k);
    const ExtFloat dx = ExtFloat::make(w.wx, w.k), dy = ExtFloat::make(w.wy, w.k);
    return dx * dx + dy * dy;
}

uint32_t next_mark(uint32_t n) { return bla_next_mark(n); }

// A pixel whose state after test n repeats the one after test `seen` goes
// round a cycle of n - seen iterations. Only the room left before the limit
// can change its steps: the count moves on by whole cycles while every step
// keeps room for the longest, so that the steps up to the limit are those it
// would have taken.
template <class T>
uint32_t round_cycles(const BlaTable<T>& table, uint32_t max_iterations, uint32_t n,
                      uint32_t seen) {
    const uint64_t period = n - seen;
    // Steps from counts up to `free` are never cut short, nor reach the limit.
    const uint64_t longest = table.longest();
    if (period == 0 || uint64_t{max_iterations} < longest + 1 + n) return n;
    const uint64_t free = max_iterations - 1 - longest;
    return static_cast<uint32_t>(n + (free - n) / period * period);
}

// bla_steps, which also stops after a step from which `stop`(dz, m) holds.
template <class Stop>
[[gnu::always_inline]] inline bool bla_steps_until(const OrbitSpan& orbit,
                                                   const BlaTable<double>& table,
                                                   uint32_t max_iterations, double dcx, double dcy,
                                                   PixelState& s, uint64_t& work, uint32_t& result,
                                                   Stop stop) {
    const double* const zre = orbit.re;
    const double* const zim = orbit.im;
    const uint32_t last = orbit.length - 1;
    const double dc2 = dcx * dcx + dcy * dcy;
    const double dc = std::sqrt(dc2);
    const uint32_t mask = align_mask(table);
    double dx = s.dx, dy = s.dy, error = s.error;
    uint32_t m = s.m, n = s.n, skipped = s.skipped;
    // Brent's cycle detection on dz and m, which with the count decide the
    // path (the error estimate only decides whether an escape counts).
    double seen_dx = s.seen_dx, seen_dy = s.seen_dy;
    uint32_t seen_m = s.seen_m, seen_n = s.seen_n;
    uint32_t mark = next_mark(seen_n);
    double previous = (zre[m] + dx) * (zre[m] + dx) + (zim[m] + dy) * (zim[m] + dy);
    for (; work > 0; --work) {
        const BlaStep<double>* b = nullptr;
        uint32_t l = 1;
        if (aligned(m, mask)) {
            const double d0 = dx * dx + dy * dy;
            b = table.find(m, d0, max_iterations - 1 - n, l);
            if (b) {
                const double nx = ((b->ar * dx) - (b->ai * dy)) + ((b->br * dcx) - (b->bi * dcy));
                const double ny = ((b->ar * dy) + (b->ai * dx)) + ((b->br * dcy) + (b->bi * dcx));
                const double a2 = b->ar * b->ar + b->ai * b->ai;
                const double b2 = b->br * b->br + b->bi * b->bi;
                dx = nx;
                dy = ny;
                // The dropped terms of the skipped iterations, and the
                // rounding of the two products.
                const double dz = std::sqrt(d0);
                const double t = ((b->p * dz) + (b->q * dc)) * dz + b->s * dc2;
                error = (a2 * error) + ((t * t) + (4.0 * kStepErrorSquared) * (a2 * d0 + b2 * dc2));
                skipped += l - 3;  // three terms: t and the rounding of the two products
            }
        }
        if (!b) {
            const double ar = (zre[m] + zre[m]) + dx, ai = (zim[m] + zim[m]) + dy;
            const double nx = ((ar * dx) - (ai * dy)) + dcx;
            const double ny = ((ar * dy) + (ai * dx)) + dcy;
            dx = nx;
            dy = ny;
            const double d = dx * dx + dy * dy;
            error = ((4.0 * previous) * error) + (kStepErrorSquared * d);
        }
        m += l;
        n += l;
        const double d = dx * dx + dy * dy;
        const double x = zre[m] + dx, y = zim[m] + dy;
        const double r = x * x + y * y;
        previous = r;
        if (r >= kLow) {
            result = escape_kept(r, error, n, x, y, zre[1] + dcx, zim[1] + dcy, skipped)
                         ? n
                         : kNeedsOtherReference;
            s.escaped = EscapedZ{x, y};
            return true;
        }
        if (ends_or_rebases(x, y, r, d, n, max_iterations, last, orbit.escaped, dx, dy, m, result))
            return true;
        if (dx == seen_dx && dy == seen_dy && m == seen_m) [[unlikely]]
            n = round_cycles(table, max_iterations, n, seen_n);
        if (n >= mark) [[unlikely]] {
            seen_dx = dx;
            seen_dy = dy;
            seen_m = m;
            seen_n = n;
            mark = next_mark(n);
        }
        if (stop(dx, dy, m)) {
            --work;
            break;
        }
    }
    s = PixelState{dx, dy, m, n, error, seen_dx, seen_dy, seen_m, seen_n};
    s.skipped = skipped;
    return false;
}

// Whether the lanes take the step from m with offset dz (bla_lanes_step).
bool lanes_take(const BlaTable<double>& table, double dx, double dy, uint32_t m) {
    if (!aligned(m, align_mask(table))) return true;
    size_t count = 0;
    const BlaStep<double>* first = table.first_steps(count);
    const uint32_t j = (m - 1) >> table.first_level();
    return !(j < count && dx * dx + dy * dy < first[j].r2);
}

}  // namespace

bool bla_steps(const OrbitSpan& orbit, const BlaTable<double>& table, uint32_t max_iterations,
               double dcx, double dcy, PixelState& s, uint64_t& work, uint32_t& result) {
    return bla_steps_until(orbit, table, max_iterations, dcx, dcy, s, work, result,
                           [](double, double, uint32_t) { return false; });
}

bool bla_lanes_step(const BlaTable<double>& table, const PixelState& s) {
    return lanes_take(table, s.dx, s.dy, s.m);
}

bool bla_steps_to_lanes(const OrbitSpan& orbit, const BlaTable<double>& table,
                        uint32_t max_iterations, double dcx, double dcy, PixelState& s,
                        uint64_t& work, uint32_t& result) {
    return bla_steps_until(
        orbit, table, max_iterations, dcx, dcy, s, work, result,
        [&](double dx, double dy, uint32_t m) { return lanes_take(table, dx, dy, m); });
}

ExtBlaStop bla_run_ext(const ExtOrbitSpan& orbit, const BlaTable<ExtFloat>& table,
                       uint32_t max_iterations, ExtFloat dcx, ExtFloat dcy, ExtBlaState& p,
                       uint64_t& work, uint32_t& result, bool to_lanes) {
    // Where a linear step is taken depends on the count too: the kernel's
    // single steps look for no repeats.
    const ExtPixelKernel kernel(orbit, max_iterations, dcx, dcy, false);
    const uint32_t last = orbit.length - 1;
    const ExtFloat dc2 = dcx * dcx + dcy * dcy;
    const ExtFloat dc = sqrt(dc2);
    const uint32_t mask = align_mask(table);
    const ExtFloat low(kLow), four_rounding(4.0 * kStepErrorSquared);
    ExtPixelState& s = p.s;
    // Between runs of single steps the pixel stays in the kernel's walk,
    // settled at each run's start as leaving and entering it again would.
    ExtWalk& w = p.w;
    // Brent's cycle detection between steps, on dz and m as in bla_steps.
    uint32_t mark = next_mark((p.walking ? w.seen : s.seen).n);
    const auto watch = [&](ExtFloat dx, ExtFloat dy, uint32_t m, uint32_t& n, ExtSeen& seen) {
        if (ExtSeen{dx, dy, m, n}.same(seen)) [[unlikely]]
            n = round_cycles(table, max_iterations, n, seen.n);
        if (n >= mark) [[unlikely]] {
            seen = ExtSeen{dx, dy, m, n};
            mark = next_mark(n);
        }
    };
    while (work > 0) {
        if (p.left == 0) {
            uint32_t l = 0;
            const uint32_t at = p.walking ? w.m : s.m;
            const BlaStep<ExtFloat>* b = nullptr;
            if (aligned(at, mask)) {
                const ExtFloat d0 = p.walking ? walk_norm(w) : s.dx * s.dx + s.dy * s.dy;
                b = table.find(at, d0, max_iterations - 1 - (p.walking ? w.n : s.n), l);
            }
            if (!b) {
                // Single steps up to the next index a linear step may start from.
                if (!p.walking) {
                    kernel.enter(s, w);
                    p.walking = true;
                } else if (!kernel.settle(w)) {
                    kernel.enter(ExtPixelKernel::leave(w), w);
                }
                p.left = bla_to_aligned(at, mask);
                if (to_lanes && aligned(at, mask)) return ExtBlaStop::lanes;
            } else {
                if (p.walking) {
                    s = ExtPixelKernel::leave(w);
                    p.walking = false;
                }
                --work;
                const ExtFloat d0 = s.dx * s.dx + s.dy * s.dy;
                const ExtFloat nx =
                    ((b->ar * s.dx) - (b->ai * s.dy)) + ((b->br * dcx) - (b->bi * dcy));
                const ExtFloat ny =
                    ((b->ar * s.dy) + (b->ai * s.dx)) + ((b->br * dcy) + (b->bi * dcx));
                const ExtFloat a2 = b->ar * b->ar + b->ai * b->ai;
                const ExtFloat b2 = b->br * b->br + b->bi * b->bi;
                const ExtFloat d = nx * nx + ny * ny;
                const ExtFloat dz = sqrt(d0);
                const ExtFloat t = ((b->p * dz) + (b->q * dc)) * dz + b->s * dc2;
                s.error = (a2 * s.error) + ((t * t) + four_rounding * (a2 * d0 + b2 * dc2));
                s.skipped += l - 3;  // three terms: t and the rounding of the two products
                s.m += l;
                s.n += l;
                const ExtFloat x = orbit.re[s.m] + nx, y = orbit.im[s.m] + ny;
                const ExtFloat r = x * x + y * y;
                if (r >= low) {
                    result = escape_kept(r.to_double(), s.error.to_double(), s.n, x.to_double(),
                                         y.to_double(), (orbit.re[1] + dcx).to_double(),
                                         (orbit.im[1] + dcy).to_double(), s.skipped)
                                 ? s.n
                                 : kNeedsOtherReference;
                    s.escaped = EscapedZ{x.to_double(), y.to_double()};
                    return ExtBlaStop::ended;
                }
                if (s.n + 1 >= max_iterations) {
                    result = s.n + 1;
                    return ExtBlaStop::ended;
                }
                if (r < d || s.m == last) {
                    if (!(r < d) && orbit.escaped) {
                        result = kNeedsOtherReference;
                        return ExtBlaStop::ended;
                    }
                    s.dx = x;
                    s.dy = y;
                    s.m = 0;
                } else {
                    s.dx = nx;
                    s.dy = ny;
                }
                watch(s.dx, s.dy, s.m, s.n, s.seen);
                continue;
            }
        }
        const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(p.left, work));
        if (kernel.advance(w, chunk, result)) {
            s.escaped = w.escaped;
            return ExtBlaStop::ended;
        }
        work -= chunk;
        p.left -= chunk;
        // No repeat is possible at another reference index.
        if (w.m == w.seen.m || w.n >= mark) [[unlikely]]
            watch(ExtFloat::make(w.wx, w.k), ExtFloat::make(w.wy, w.k), w.m, w.n, w.seen);
    }
    return ExtBlaStop::work;
}

bool bla_steps_ext(const ExtOrbitSpan& orbit, const BlaTable<ExtFloat>& table,
                   uint32_t max_iterations, ExtFloat dcx, ExtFloat dcy, ExtPixelState& s,
                   uint64_t& work, uint32_t& result) {
    ExtBlaState p;
    p.s = s;
    const ExtBlaStop stop =
        bla_run_ext(orbit, table, max_iterations, dcx, dcy, p, work, result, false);
    s = p.walking && stop != ExtBlaStop::ended ? ExtPixelKernel::leave(p.w) : p.s;
    return stop == ExtBlaStop::ended;
}

void form_bla_gates(const BlaTable<ExtFloat>& table, uint32_t length, std::vector<double>& gates) {
    const uint32_t mask = align_mask(table);
    const uint32_t room = mask + 1;
    gates.assign(size_t{length} + 1, std::numeric_limits<double>::quiet_NaN());
    for (uint32_t m = 1; m + 1 < length; m += room) {
        uint32_t l = 0;
        // The first level's step, whatever its radius: longer ones have no room.
        const BlaStep<ExtFloat>* b = table.find(m, ExtFloat(0.0), room, l);
        gates[m] = b && b->r2.m > 0.0 ? static_cast<double>(b->r2.e) + 2.0 : -HUGE_VAL;
    }
}

uint32_t iterate_bla(const OrbitSpan& orbit, const BlaTable<double>& table, uint32_t max_iterations,
                     double dcx, double dcy, uint64_t* steps, EscapedZ* z) {
    PixelState s{0.0, 0.0, 0, 0, 0.0};
    uint32_t result = 0;
    uint64_t work = UINT64_MAX;
    bla_steps(orbit, table, max_iterations, dcx, dcy, s, work, result);
    if (steps) *steps += UINT64_MAX - work + 1;
    if (z) *z = s.escaped;
    return result;
}

uint32_t iterate_bla_ext(const ExtOrbitSpan& orbit, const BlaTable<ExtFloat>& table,
                         uint32_t max_iterations, ExtFloat dcx, ExtFloat dcy, uint64_t* steps,
                         EscapedZ* z) {
    ExtPixelState s{};
    uint32_t result = 0;
    uint64_t work = UINT64_MAX;
    bla_steps_ext(orbit, table, max_iterations, dcx, dcy, s, work, result);
    if (steps) *steps += UINT64_MAX - work + 1;
    if (z) *z = s.escaped;
    return result;
}

namespace {

// One pixel after another; `run` takes a record and a number of steps, and
// returns true once the record is done, with the steps taken off.
template <class Run>
bool one_by_one(Orbit* records, size_t count, const Budget& budget, Run run) {
    uint64_t steps = 0;
    for (size_t i = 0; i < count; ++i) {
        Orbit& o = records[i];
        if (o.done) continue;
        for (;;) {
            const uint64_t chunk = std::min<uint64_t>(
                kStepsPerCheck, budget.max_steps - std::min(steps, budget.max_steps));
            uint64_t work = chunk;
            const bool ended = chunk > 0 && run(i, o, work);
            steps += chunk - work;
            if (ended) break;
            if (steps >= budget.max_steps || budget.time_over()) return false;
        }
        if (&o == budget.wanted)
            return std::all_of(records + i, records + count, [](const Orbit& r) { return r.done; });
        if (i + 1 < count && (steps >= budget.max_steps || budget.time_over())) return false;
    }
    return true;
}

}  // namespace

// An extended record's state (perturbation_ext_batch.h): dz = (x, y) 2^cx,
// the error and the iterations skipped in extra and cy.
void pack_ext_record(const ExtPixelState& s, Orbit& o) {
    const int64_t k = s.dx.is_zero() ? s.dy.e : s.dy.is_zero() ? s.dx.e : std::max(s.dx.e, s.dy.e);
    o.x = ldexp(s.dx, -k).to_double();
    o.y = ldexp(s.dy, -k).to_double();
    o.cx = static_cast<double>(k);
    keep_ext_error(s.error, s.skipped, o);
    o.aux = s.m;
    o.n = s.n;
    keep_ext_seen(s.seen, o);
}

bool iterate_bla_batch(const OrbitSpan& orbit, const BlaTable<double>& table,
                       uint32_t max_iterations, Orbit* pixels, size_t count, const Budget& budget) {
    switch (active_simd_level()) {
#if defined(__x86_64__)
        case SimdLevel::sse2:
            return iterate_bla_batch_sse2(orbit, table, max_iterations, pixels, count, budget);
#if defined(__GNUC__)
        case SimdLevel::avx2:
            return iterate_bla_batch_avx2(orbit, table, max_iterations, pixels, count, budget);
        case SimdLevel::avx512:
            return iterate_bla_batch_avx512(orbit, table, max_iterations, pixels, count, budget);
#endif
#endif
        default:
            break;
    }
    return one_by_one(pixels, count, budget, [&](size_t, Orbit& o, uint64_t& work) {
        PixelState s = state_of_record(o);
        uint32_t result = 0;
        if (bla_steps(orbit, table, max_iterations, o.cx, o.cy, s, work, result)) {
            end_record(o, s, result);
            return true;
        }
        pause_record(o, s);
        return false;
    });
}

bool iterate_bla_ext_batch(const ExtBatch& b, const BlaTable<ExtFloat>& table,
                           uint32_t max_iterations, Orbit* records, size_t count,
                           const Budget& budget, const double* gates) {
    // Single steps on the SIMD lanes where the processor has them.
    bool all_done = false;
    if (gates != nullptr && b.lane_re != nullptr &&
        iterate_bla_ext_lanes_at(active_simd_level(), b, table, gates, max_iterations, records,
                                 count, budget, all_done))
        return all_done;
    return one_by_one(records, count, budget, [&](size_t i, Orbit& o, uint64_t& work) {
        const uint32_t pixel = b.pixels[i];
        ExtPixelState s = ext_record_state(o);
        uint32_t result = 0;
        if (bla_steps_ext(b.orbit, table, max_iterations, b.dcx[pixel % b.width],
                          b.dcy[pixel / b.width], s, work, result)) {
            o.n = result;
            o.done = true;
            o.x = s.escaped.x;
            o.y = s.escaped.y;
            return true;
        }
        pack_ext_record(s, o);
        return false;
    });
}

}  // namespace quorvel
