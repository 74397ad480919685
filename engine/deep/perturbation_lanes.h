// Internal: the perturbation kernel on W-lane vectors, U vectors interleaved,
// fed from a queue of Orbit records, with the lane technique of the double
// batch kernel (bigfloat/orbit_lanes.h): one step counter for all lanes, each
// lane refilled as soon as its pixel ends. Included by one source file per
// instruction set after its `#pragma GCC target`, with a vector type V defined
// there in an anonymous namespace.
//
// V provides what the double kernel's vector type does, and: mask (a lane
// mask), lt/le/eq(reg, reg) -> mask, mask_or/mask_andnot(a, b) (a & ~b),
// bits(mask) -> unsigned, select(mask, a, b) (a where set), clear(mask, a) (0
// where set), and gather(const double* base, reg index) with integral indices
// held as doubles.
//
// Every lane performs the operations of iterate_perturbed in the same order;
// a rebase is a per-lane selection and needs no exit from the vector loop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel::perturbation_lanes {

constexpr uint64_t kCheckSteps = 1024;

template <class V, int U>
bool run(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels, size_t count,
         const Budget& budget) {
    constexpr int W = V::W;
    constexpr int L = U * W;
    constexpr uint64_t kParked = UINT64_MAX;
    using reg = typename V::reg;
    using mask = typename V::mask;

    const double* const zre = orbit.re;
    const double* const zim = orbit.im;
    alignas(64) double dcx[L], dcy[L], dx[L], dy[L], zr[L], zi[L], m[L], err[L], prev[L];
    uint64_t start[L], stop[L];
    uint32_t base[L];
    size_t which[L];
    size_t cursor = 0;
    int active = 0;
    uint64_t k = 0;

    // A parked lane runs the reference itself from its start, which never
    // leaves the stored orbit without an event that parks it again.
    auto park = [&](int l) {
        dcx[l] = dcy[l] = dx[l] = dy[l] = zr[l] = zi[l] = m[l] = err[l] = prev[l] = 0.0;
        stop[l] = kParked;
        which[l] = count;
    };
    auto fill = [&](int l, uint64_t at) {
        while (cursor < count && pixels[cursor].done) ++cursor;
        if (cursor == count) {
            park(l);
            return;
        }
        const Orbit& o = pixels[cursor];
        dcx[l] = o.cx;
        dcy[l] = o.cy;
        dx[l] = o.x;
        dy[l] = o.y;
        zr[l] = zre[o.aux];
        zi[l] = zim[o.aux];
        m[l] = o.aux;
        err[l] = o.extra;
        prev[l] = (zr[l] + dx[l]) * (zr[l] + dx[l]) + (zi[l] + dy[l]) * (zi[l] + dy[l]);
        base[l] = o.n;
        start[l] = at;
        // After the test at step s the count is base + (s - start) + 1; the
        // limit ends the pixel once that count + 1 reaches max_iterations.
        stop[l] = at + (max_iterations > o.n + 2ull ? max_iterations - o.n - 2ull : 0);
        which[l] = cursor++;
        ++active;
    };
    auto finish = [&](int l, uint32_t n) {
        Orbit& o = pixels[which[l]];
        o.n = n;
        o.done = true;
        --active;
    };
    // Leaves the pixels in flight resumable, `at` steps into the run.
    auto write_back = [&](uint64_t at) {
        for (int l = 0; l < L; ++l) {
            if (stop[l] == kParked) continue;
            Orbit& o = pixels[which[l]];
            o.x = dx[l];
            o.y = dy[l];
            o.aux = static_cast<uint32_t>(m[l]);
            o.extra = err[l];
            o.n = static_cast<uint32_t>(base[l] + (at - start[l]));
        }
    };
    auto earliest_stop = [&] {
        uint64_t s = kParked;
        for (int l = 0; l < L; ++l) s = stop[l] < s ? stop[l] : s;
        return s;
    };

    for (int l = 0; l < L; ++l) fill(l, 0);
    if (active == 0) return true;
    uint64_t next_stop = earliest_stop();
    const uint64_t step_cap = budget.max_steps;
    uint64_t next_check = kCheckSteps < step_cap ? kCheckSteps : step_cap;

    reg vdcx[U], vdcy[U], vdx[U], vdy[U], vzr[U], vzi[U], vm[U], verr[U], vprev[U];
    auto load_all = [&] {
        for (int u = 0; u < U; ++u) {
            vdcx[u] = V::load(dcx + u * W);
            vdcy[u] = V::load(dcy + u * W);
            vdx[u] = V::load(dx + u * W);
            vdy[u] = V::load(dy + u * W);
            vzr[u] = V::load(zr + u * W);
            vzi[u] = V::load(zi + u * W);
            vm[u] = V::load(m + u * W);
            verr[u] = V::load(err + u * W);
            vprev[u] = V::load(prev + u * W);
        }
    };
    auto store_all = [&] {
        for (int u = 0; u < U; ++u) {
            V::store(dx + u * W, vdx[u]);
            V::store(dy + u * W, vdy[u]);
            V::store(zr + u * W, vzr[u]);
            V::store(zi + u * W, vzi[u]);
            V::store(m + u * W, vm[u]);
            V::store(err + u * W, verr[u]);
            V::store(prev + u * W, vprev[u]);
        }
    };
    load_all();
    const reg one = V::set1(1.0);
    const double low = 4.0 - 4.0 * kUndecidedEscape, high = 4.0 + 4.0 * kUndecidedEscape;
    const reg vlow = V::set1(low);
    const reg four = V::set1(4.0), step_error = V::set1(kStepErrorSquared);
    const uint32_t last = orbit.length - 1;
    const reg vlast = V::set1(static_cast<double>(last));
    const bool escaped_reference = orbit.escaped;

    for (;;) {
        // Lanes that may leave: |z|^2 near or past 4, or, on an escaped
        // reference, at its end without a rebase. Sorted out below.
        unsigned events = 0;
        for (int u = 0; u < U; ++u) {
            const reg ar = V::add(V::add(vzr[u], vzr[u]), vdx[u]);
            const reg ai = V::add(V::add(vzi[u], vzi[u]), vdy[u]);
            const reg nx = V::add(V::sub(V::mul(ar, vdx[u]), V::mul(ai, vdy[u])), vdcx[u]);
            const reg ny = V::add(V::add(V::mul(ar, vdy[u]), V::mul(ai, vdx[u])), vdcy[u]);
            const reg m1 = V::add(vm[u], one);
            const reg zr1 = V::gather(zre, m1);
            const reg zi1 = V::gather(zim, m1);
            const reg d = V::add(V::mul(nx, nx), V::mul(ny, ny));
            verr[u] = V::add(V::mul(V::mul(four, vprev[u]), verr[u]), V::mul(step_error, d));
            const reg x = V::add(zr1, nx), y = V::add(zi1, ny);
            const reg r = V::add(V::mul(x, x), V::mul(y, y));
            vprev[u] = r;
            const mask rebase = V::lt(r, d);
            const mask at_last = V::eq(m1, vlast);
            const mask restart = escaped_reference ? rebase : V::mask_or(rebase, at_last);
            vdx[u] = V::select(restart, x, nx);
            vdy[u] = V::select(restart, y, ny);
            vzr[u] = V::clear(restart, zr1);
            vzi[u] = V::clear(restart, zi1);
            vm[u] = V::clear(restart, m1);
            const mask leave = escaped_reference
                                   ? V::mask_or(V::le(vlow, r), V::mask_andnot(at_last, rebase))
                                   : V::le(vlow, r);
            events |= V::bits(leave) << (u * W);
        }
        if (events != 0 || k == next_stop) [[unlikely]] {
            store_all();
            bool limit_hit = false;
            for (int l = 0; l < L; ++l) {
                const unsigned bit = 1u << l;
                if (stop[l] == kParked) {
                    if (events & bit) park(l);
                    continue;
                }
                const uint32_t n = static_cast<uint32_t>(base[l] + (k - start[l]) + 1);
                // The order of iterate_perturbed's tests; prev holds |z|^2, and
                // m the end of the orbit only when the lane did not rebase.
                const double r = prev[l];
                if (r >= low) {
                    finish(l, r <= high || err[l] > kEscapeErrorSquared ? kNeedsOtherReference : n);
                } else if (stop[l] == k) {
                    finish(l, n + 1);
                    limit_hit = true;
                } else if (escaped_reference && m[l] == static_cast<double>(last)) {
                    finish(l, kNeedsOtherReference);
                } else {
                    continue;
                }
                fill(l, k + 1);
                if (stop[l] < next_stop) next_stop = stop[l];
            }
            if (limit_hit || k == next_stop) next_stop = earliest_stop();
            if (active == 0) return true;
            if (budget.wanted != nullptr && budget.wanted->done) {
                write_back(k + 1);
                return false;
            }
            load_all();
        }
        ++k;
        if (k >= next_check) [[unlikely]] {
            if (k >= step_cap || budget.time_over()) {
                store_all();
                write_back(k);
                return false;
            }
            next_check = k + kCheckSteps < step_cap ? k + kCheckSteps : step_cap;
        }
    }
}

}  // namespace quorvel::perturbation_lanes
