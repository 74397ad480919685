// Internal: the perturbation kernel on W-lane vectors, U vectors interleaved,
// fed from a queue of Orbit records by the lane scheduler of the double batch
// kernel (bigfloat/lane_scheduler.h). Included by one source file per
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
#include <limits>

#include "bigfloat/lane_scheduler.h"

namespace quorvel::perturbation_lanes {

template <class V, int U>
class PerturbationKernel {
public:
    using reg = typename V::reg;
    using mask = typename V::mask;
    static constexpr int W = V::W;
    static constexpr int L = U * W;
    // After the test at step s the count is base + (s - start) + 1; the limit
    // ends the pixel once that count + 1 reaches max_iterations.
    static constexpr uint32_t kStopOffset = 2;
    // The state that repeats is dz with the reference index.
    static constexpr bool kDetectsCycles = true;
    static constexpr uint64_t kCycleEvery = 64;
    static constexpr uint64_t kRememberEvery = 512;
    struct Regs {
        reg dcx[U], dcy[U], dx[U], dy[U], zr[U], zi[U], m[U], err[U], prev[U];
        reg one, low, four, step_error, last;
        const double* zre;
        const double* zim;
        bool escaped_reference;
    };

    explicit PerturbationKernel(const OrbitSpan& orbit)
        : zre_(orbit.re),
          zim_(orbit.im),
          last_(orbit.length - 1),
          escaped_reference_(orbit.escaped) {}

    // A parked lane runs the reference itself from its start, which never
    // leaves the stored orbit without an event that parks it again.
    void park(int l) {
        dcx_[l] = dcy_[l] = dx_[l] = dy_[l] = zr_[l] = zi_[l] = m_[l] = err_[l] = prev_[l] = 0.0;
        seen_x_[l] = seen_y_[l] = kNothingSeen;
    }
    void load_lane(int l, const Orbit& o) {
        dcx_[l] = o.cx;
        dcy_[l] = o.cy;
        dx_[l] = o.x;
        dy_[l] = o.y;
        zr_[l] = zre_[o.aux];
        zi_[l] = zim_[o.aux];
        m_[l] = o.aux;
        err_[l] = o.extra;
        prev_[l] = (zr_[l] + dx_[l]) * (zr_[l] + dx_[l]) + (zi_[l] + dy_[l]) * (zi_[l] + dy_[l]);
        // A state remembered at the present count is the present state.
        const bool earlier = o.seen_n < o.n;
        seen_x_[l] = earlier ? o.seen_x : kNothingSeen;
        seen_y_[l] = earlier ? o.seen_y : kNothingSeen;
        seen_m_[l] = o.seen_aux;
    }
    void save_lane(int l, Orbit& o) const {
        o.x = dx_[l];
        o.y = dy_[l];
        o.aux = static_cast<uint32_t>(m_[l]);
        o.extra = err_[l];
        o.seen_x = seen_x_[l];
        o.seen_y = seen_y_[l];
        o.seen_aux = static_cast<uint32_t>(seen_m_[l]);
    }
    // An ended pixel's z: the step leaves it as Z_m + dz, a rebase as dz with
    // Z_0 = 0.
    void save_final(int l, Orbit& o) const {
        o.x = zr_[l] + dx_[l];
        o.y = zi_[l] + dy_[l];
    }
    void remember(int l) {
        seen_x_[l] = dx_[l];
        seen_y_[l] = dy_[l];
        seen_m_[l] = m_[l];
    }
    // The lanes whose dz and reference index equal those they remember.
    unsigned repeats() const {
        unsigned equal = 0;
        for (int u = 0; u < U; ++u) {
            const int o = u * W;
            equal |= (V::bits(V::eq(V::load(dx_ + o), V::load(seen_x_ + o))) &
                      V::bits(V::eq(V::load(dy_ + o), V::load(seen_y_ + o))) &
                      V::bits(V::eq(V::load(m_ + o), V::load(seen_m_ + o))))
                     << o;
        }
        return equal;
    }

    [[gnu::always_inline]] void init(Regs& r) const {
        r.one = V::set1(1.0);
        r.low = V::set1(kLow);
        r.four = V::set1(4.0);
        r.step_error = V::set1(kStepErrorSquared);
        r.last = V::set1(static_cast<double>(last_));
        r.zre = zre_;
        r.zim = zim_;
        r.escaped_reference = escaped_reference_;
    }
    [[gnu::always_inline]] void load(Regs& r) const {
        for (int u = 0; u < U; ++u) {
            r.dcx[u] = V::load(dcx_ + u * W);
            r.dcy[u] = V::load(dcy_ + u * W);
            r.dx[u] = V::load(dx_ + u * W);
            r.dy[u] = V::load(dy_ + u * W);
            r.zr[u] = V::load(zr_ + u * W);
            r.zi[u] = V::load(zi_ + u * W);
            r.m[u] = V::load(m_ + u * W);
            r.err[u] = V::load(err_ + u * W);
            r.prev[u] = V::load(prev_ + u * W);
        }
    }
    [[gnu::always_inline]] void store(const Regs& r) {
        for (int u = 0; u < U; ++u) {
            V::store(dx_ + u * W, r.dx[u]);
            V::store(dy_ + u * W, r.dy[u]);
            V::store(zr_ + u * W, r.zr[u]);
            V::store(zi_ + u * W, r.zi[u]);
            V::store(m_ + u * W, r.m[u]);
            V::store(err_ + u * W, r.err[u]);
            V::store(prev_ + u * W, r.prev[u]);
        }
    }
    // One step of every lane. Lanes that may leave: |z|^2 near or past 4, or,
    // on an escaped reference, at its end without a rebase; ends() sorts them.
    [[gnu::always_inline]] unsigned step(Regs& r) const {
        unsigned events = 0;
        for (int u = 0; u < U; ++u) {
            const reg ar = V::add(V::add(r.zr[u], r.zr[u]), r.dx[u]);
            const reg ai = V::add(V::add(r.zi[u], r.zi[u]), r.dy[u]);
            const reg nx = V::add(V::sub(V::mul(ar, r.dx[u]), V::mul(ai, r.dy[u])), r.dcx[u]);
            const reg ny = V::add(V::add(V::mul(ar, r.dy[u]), V::mul(ai, r.dx[u])), r.dcy[u]);
            const reg m1 = V::add(r.m[u], r.one);
            const reg zr1 = V::gather(r.zre, m1);
            const reg zi1 = V::gather(r.zim, m1);
            const reg d = V::add(V::mul(nx, nx), V::mul(ny, ny));
            r.err[u] = V::add(V::mul(V::mul(r.four, r.prev[u]), r.err[u]), V::mul(r.step_error, d));
            const reg x = V::add(zr1, nx), y = V::add(zi1, ny);
            const reg rr = V::add(V::mul(x, x), V::mul(y, y));
            r.prev[u] = rr;
            const mask rebase = V::lt(rr, d);
            const mask at_last = V::eq(m1, r.last);
            const mask restart = r.escaped_reference ? rebase : V::mask_or(rebase, at_last);
            r.dx[u] = V::select(restart, x, nx);
            r.dy[u] = V::select(restart, y, ny);
            r.zr[u] = V::clear(restart, zr1);
            r.zi[u] = V::clear(restart, zi1);
            r.m[u] = V::clear(restart, m1);
            const mask leave = r.escaped_reference
                                   ? V::mask_or(V::le(r.low, rr), V::mask_andnot(at_last, rebase))
                                   : V::le(r.low, rr);
            events |= V::bits(leave) << (u * W);
        }
        return events;
    }
    // The order of iterate_perturbed's tests; prev holds |z|^2, and m the end
    // of the orbit only when the lane did not rebase.
    bool ends(int l, bool, bool at_limit, uint64_t before, uint32_t& count) const {
        const uint32_t n = static_cast<uint32_t>(before + 1);
        const double r = prev_[l];
        if (r >= kLow) {
            count = escape_kept(r, err_[l], n, zr_[l] + dx_[l], zi_[l] + dy_[l], zre_[1] + dcx_[l],
                                zim_[1] + dcy_[l])
                        ? n
                        : kNeedsOtherReference;
        } else if (at_limit) {
            count = n + 1;
        } else if (escaped_reference_ && m_[l] == static_cast<double>(last_)) {
            count = kNeedsOtherReference;
        } else {
            return false;
        }
        return true;
    }

private:
    static constexpr double kLow = 4.0 - 4.0 * kUndecidedEscape;
    static constexpr double kNothingSeen = std::numeric_limits<double>::quiet_NaN();

    const double* const zre_;
    const double* const zim_;
    const uint32_t last_;
    const bool escaped_reference_;
    alignas(64) double dcx_[L], dcy_[L], dx_[L], dy_[L], zr_[L], zi_[L], m_[L], err_[L], prev_[L];
    alignas(64) double seen_x_[L], seen_y_[L], seen_m_[L];
};

template <class V, int U>
bool run(const OrbitSpan& orbit, uint32_t max_iterations, Orbit* pixels, size_t count,
         const Budget& budget) {
    PerturbationKernel<V, U> kernel(orbit);
    return lane_scheduler::run(kernel, max_iterations, pixels, count, budget);
}

}  // namespace quorvel::perturbation_lanes
