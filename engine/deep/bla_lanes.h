// Internal: the single steps of the double linear-step kernel on W-lane
// vectors, U vectors interleaved. Included by one source file per instruction
// set after its `#pragma GCC target`, with a vector type V of
// deep/lane_masks_*.h defined there in an anonymous namespace.
//
// A lane takes a pixel's next step only where bla_steps would take a single
// step and do nothing more after it: not from an index where a linear step
// might be valid, nor where the step escapes, rebases, reaches the end of the
// orbit or the limit, may repeat the remembered state (the real part of dz
// is the remembered one) or is due to remember it.
// Such a lane keeps its state, and bla_steps takes that step and what follows
// until the lanes can go on. A lane's step is bla_steps' single step,
// operation for operation, so that the pixel's path stays the same.
//
// Linear steps stay with bla_steps: taken on the lanes (those that reach one
// waiting for each other) or beside them in scalar slots, they cost more than
// handing the pixel over. A linear step waits on its previous one and on
// loads from the table and orbit far apart, few lanes take one at a time, and
// the lanes that wait idle.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "deep/bla_batch.h"

namespace quorvel::bla_lanes {

// Vector steps between two looks at the budget.
constexpr uint64_t kCheckSteps = 1024;
// Steps bla_steps takes at most before a pixel goes back on its lane.
constexpr uint64_t kHandBack = 1024;

template <class V, int U>
class Lanes {
public:
    using reg = typename V::reg;
    using mask = typename V::mask;
    static constexpr int W = V::W;
    static constexpr int L = U * W;

    Lanes(const OrbitSpan& orbit, const BlaTable<double>& table, uint32_t max_iterations,
          Orbit* records, size_t count)
        : orbit_(orbit),
          table_(table),
          max_iterations_(max_iterations),
          records_(records),
          count_(count) {
        size_t steps = 0;
        const BlaStep<double>* first = table.first_steps(steps);
        first_steps_ = static_cast<double>(steps);
        r2_ = steps > 0 ? &first->r2 : &kNoRadius;
    }

    // Runs the records under the batch contract; true when every one is done.
    bool run(const Budget& budget) {
        for (int l = 0; l < L; ++l) fill(l);
        if (active_ == 0) return true;
        const Constants c = constants();
        Regs r;
        load(r);
        const uint64_t cap = budget.max_steps;
        uint64_t next_check = kCheckSteps < cap ? kCheckSteps : cap;
        for (uint64_t k = 0;;) {
            unsigned held = 0;
            Kept kept;
            const unsigned events = step(r, c, kept, held);
            if (events != 0) [[unlikely]] {
                store(r);
                hold(kept, held);
                hand_over(events);
                if (active_ == 0) return true;
                if (budget.wanted != nullptr && budget.wanted->done) {
                    write_back();
                    return false;
                }
                load(r);
            }
            ++k;
            if (k + scalar_steps_ >= next_check) [[unlikely]] {
                if (k + scalar_steps_ >= cap || budget.time_over()) {
                    store(r);
                    write_back();
                    return false;
                }
                next_check = k + scalar_steps_ + kCheckSteps;
                next_check = next_check < cap ? next_check : cap;
            }
        }
    }

private:
    static constexpr size_t kEmpty = SIZE_MAX;
    static constexpr double kNothing = std::numeric_limits<double>::quiet_NaN();
    static constexpr double kNoRadius = -std::numeric_limits<double>::infinity();
    static constexpr double kLow = 4.0 - 4.0 * kUndecidedEscape;
    // Where a step's events are decided.
    struct Constants {
        reg one, low, four, step_error, last, scale, round, steps, stride, zero;
        const double* zre;
        const double* zim;
        const double* r2;
    };
    struct Regs {
        reg dx[U], dy[U], zr[U], zi[U], m[U], err[U], prev[U], n[U];
    };

    static mask mask_and(mask a, mask b) { return V::mask_andnot(a, V::mask_andnot(a, b)); }

    Constants constants() const {
        return Constants{V::set1(1.0),
                         V::set1(kLow),
                         V::set1(4.0),
                         V::set1(kStepErrorSquared),
                         V::set1(static_cast<double>(orbit_.length - 1)),
                         V::set1(1.0 / static_cast<double>(uint32_t{1} << table_.first_level())),
                         V::set1(0x1p52),
                         V::set1(first_steps_),
                         V::set1(static_cast<double>(sizeof(BlaStep<double>) / sizeof(double))),
                         V::set1(0.0),
                         orbit_.re,
                         orbit_.im,
                         r2_};
    }

    // What a lane held by step() had before it, beside m and n.
    struct Kept {
        reg dx[U], dy[U], err[U];
    };

    // One step of every lane, but those whose step bla_steps must take; the
    // mask of those, and of the lanes that stepped to where a linear step may
    // start. Every lane moves on in `r`, so that the next step waits on no
    // test of this one; the held ones, in `held_lanes`, are put back by
    // hold() from `kept`, before they are handed over.
    [[gnu::always_inline]] unsigned step(Regs& r, const Constants& c, Kept& kept,
                                         unsigned& held_lanes) const {
        unsigned events = 0;
        for (int u = 0; u < U; ++u) {
            const int o = u * W;
            const reg dx = r.dx[u], dy = r.dy[u], m = r.m[u];
            const reg ar = V::add(V::add(r.zr[u], r.zr[u]), dx);
            const reg ai = V::add(V::add(r.zi[u], r.zi[u]), dy);
            const reg nx = V::add(V::sub(V::mul(ar, dx), V::mul(ai, dy)), V::load(dcx_ + o));
            const reg ny = V::add(V::add(V::mul(ar, dy), V::mul(ai, dx)), V::load(dcy_ + o));
            const reg d = V::add(V::mul(nx, nx), V::mul(ny, ny));
            const reg err =
                V::add(V::mul(V::mul(c.four, r.prev[u]), r.err[u]), V::mul(c.step_error, d));
            const reg m1 = V::add(m, c.one);
            const reg zr1 = V::gather(c.zre, m1);
            const reg zi1 = V::gather(c.zim, m1);
            // A linear step may start from m1 = 1 + j 2^k with j a listed
            // step (q = j is whole) and |dz|^2 below its radius.
            const reg q = V::mul(m, c.scale);
            const mask listed =
                mask_and(V::eq(V::sub(V::add(q, c.round), c.round), q), V::lt(q, c.steps));
            const reg r2 = V::gather(c.r2, V::select(listed, V::mul(q, c.stride), c.zero));
            const mask linear = mask_and(listed, V::lt(d, r2));
            const reg x = V::add(zr1, nx), y = V::add(zi1, ny);
            const reg rr = V::add(V::mul(x, x), V::mul(y, y));
            const reg n1 = V::add(r.n[u], c.one);
            // A state that may repeat the remembered one: bla_steps decides.
            const mask repeat = V::eq(nx, V::load(seen_x_ + o));
            const mask held =
                V::mask_or(V::mask_or(V::le(c.low, rr), V::mask_or(V::lt(rr, d), repeat)),
                           V::mask_or(V::eq(m1, c.last), V::le(V::load(until_ + o), n1)));
            kept.dx[u] = dx;
            kept.dy[u] = dy;
            kept.err[u] = r.err[u];
            r.dx[u] = nx;
            r.dy[u] = ny;
            r.zr[u] = zr1;
            r.zi[u] = zi1;
            r.m[u] = m1;
            r.err[u] = err;
            r.prev[u] = rr;
            r.n[u] = n1;
            events |= V::bits(V::mask_or(held, linear)) << o;
            held_lanes |= V::bits(held) << o;
        }
        return events;
    }

    // Puts the lanes in `held` back where they were before step(), after
    // store(), as far as hand_over() reads them: it sets every such lane anew.
    void hold(const Kept& kept, unsigned held) {
        for (int u = 0; u < U; ++u) {
            const int o = u * W;
            V::store(kept_dx_ + o, kept.dx[u]);
            V::store(kept_dy_ + o, kept.dy[u]);
            V::store(kept_err_ + o, kept.err[u]);
        }
        while (held != 0) {
            const int l = std::countr_zero(held);
            held &= held - 1;
            dx_[l] = kept_dx_[l];
            dy_[l] = kept_dy_[l];
            err_[l] = kept_err_[l];
            m_[l] -= 1.0;
            n_[l] -= 1.0;
        }
    }

    void load(Regs& r) const {
        for (int u = 0; u < U; ++u) {
            const int o = u * W;
            r.dx[u] = V::load(dx_ + o);
            r.dy[u] = V::load(dy_ + o);
            r.zr[u] = V::load(zr_ + o);
            r.zi[u] = V::load(zi_ + o);
            r.m[u] = V::load(m_ + o);
            r.err[u] = V::load(err_ + o);
            r.prev[u] = V::load(prev_ + o);
            r.n[u] = V::load(n_ + o);
        }
    }
    void store(const Regs& r) {
        for (int u = 0; u < U; ++u) {
            const int o = u * W;
            V::store(dx_ + o, r.dx[u]);
            V::store(dy_ + o, r.dy[u]);
            V::store(zr_ + o, r.zr[u]);
            V::store(zi_ + o, r.zi[u]);
            V::store(m_ + o, r.m[u]);
            V::store(err_ + o, r.err[u]);
            V::store(prev_ + o, r.prev[u]);
            V::store(n_ + o, r.n[u]);
        }
    }

    // bla_steps takes the steps of the lanes with an event, after store().
    void hand_over(unsigned events) {
        while (events != 0) {
            const int l = std::countr_zero(events);
            events &= events - 1;
            if (which_[l] == kEmpty) {
                park(l);  // an empty lane at the end of the orbit starts again
                continue;
            }
            PixelState s = state(l);
            uint64_t work = kHandBack;
            uint32_t result = 0;
            const bool ended = bla_steps_to_lanes(orbit_, table_, max_iterations_, dcx_[l], dcy_[l],
                                                  s, work, result);
            scalar_steps_ += kHandBack - work;
            if (ended) {
                end_record(records_[which_[l]], s, result);
                --active_;
                fill(l);
            } else {
                set(l, s);
            }
        }
    }

    PixelState state(int l) const {
        PixelState s{dx_[l],
                     dy_[l],
                     static_cast<uint32_t>(m_[l]),
                     static_cast<uint32_t>(n_[l]),
                     err_[l],
                     seen_x_[l],
                     seen_y_[l],
                     static_cast<uint32_t>(seen_m_[l]),
                     seen_n_[l]};
        s.skipped = skipped_[l];
        return s;
    }
    // Lane l at state s, with what bla_steps works out on entry.
    void set(int l, const PixelState& s) {
        const double zr = orbit_.re[s.m], zi = orbit_.im[s.m];
        dx_[l] = s.dx;
        dy_[l] = s.dy;
        zr_[l] = zr;
        zi_[l] = zi;
        m_[l] = s.m;
        n_[l] = s.n;
        err_[l] = s.error;
        prev_[l] = (zr + s.dx) * (zr + s.dx) + (zi + s.dy) * (zi + s.dy);
        seen_x_[l] = s.seen_dx;
        seen_y_[l] = s.seen_dy;
        seen_m_[l] = s.seen_m;
        seen_n_[l] = s.seen_n;
        skipped_[l] = s.skipped;
        // The count at which the state is remembered next, or the limit.
        const uint32_t mark = s.seen_n > UINT32_MAX / 2 ? UINT32_MAX : 2 * s.seen_n;
        const double limit = static_cast<double>(max_iterations_) - 1.0;
        until_[l] = static_cast<double>(mark) < limit ? static_cast<double>(mark) : limit;
        // The lanes look for linear steps only as they step to an index.
        if (!bla_lanes_step(table_, s)) until_[l] = -std::numeric_limits<double>::infinity();
    }
    // An empty lane runs the reference from its start with dz NaN: its only
    // event is the end of the orbit.
    void park(int l) {
        dcx_[l] = dcy_[l] = zr_[l] = zi_[l] = m_[l] = n_[l] = err_[l] = prev_[l] = 0.0;
        dx_[l] = dy_[l] = seen_x_[l] = seen_y_[l] = kNothing;
        seen_m_[l] = -1.0;
        skipped_[l] = 0;
        until_[l] = std::numeric_limits<double>::infinity();
    }
    void fill(int l) {
        while (cursor_ < count_ && records_[cursor_].done) ++cursor_;
        if (cursor_ == count_) {
            which_[l] = kEmpty;
            park(l);
            return;
        }
        const Orbit& o = records_[cursor_];
        dcx_[l] = o.cx;
        dcy_[l] = o.cy;
        set(l, state_of_record(o));
        which_[l] = cursor_++;
        ++active_;
    }
    // Leaves the pixels in flight resumable, after store().
    void write_back() {
        for (int l = 0; l < L; ++l)
            if (which_[l] != kEmpty) pause_record(records_[which_[l]], state(l));
    }

    const OrbitSpan& orbit_;
    const BlaTable<double>& table_;
    const uint32_t max_iterations_;
    Orbit* const records_;
    const size_t count_;
    const double* r2_;  // the first level's radii, a step apart
    double first_steps_;
    size_t cursor_ = 0;
    int active_ = 0;
    uint64_t scalar_steps_ = 0;
    size_t which_[L];
    uint32_t seen_n_[L];
    uint32_t skipped_[L];  // what single steps leave alone (PixelState::skipped)
    alignas(64) double dcx_[L], dcy_[L], dx_[L], dy_[L], zr_[L], zi_[L], m_[L], err_[L], prev_[L],
        n_[L];
    alignas(64) double seen_x_[L], seen_y_[L], seen_m_[L], until_[L];
    alignas(64) double kept_dx_[L], kept_dy_[L], kept_err_[L];
};

template <class V, int U>
bool run(const OrbitSpan& orbit, const BlaTable<double>& table, uint32_t max_iterations,
         Orbit* pixels, size_t count, const Budget& budget) {
    Lanes<V, U> lanes(orbit, table, max_iterations, pixels, count);
    return lanes.run(budget);
}

}  // namespace quorvel::bla_lanes
