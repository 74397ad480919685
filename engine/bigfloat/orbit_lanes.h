// Internal: the double kernel on W-lane vectors, four vectors interleaved, fed
// from a queue of Orbit records by the lane scheduler (lane_scheduler.h).
// Included by one source file per instruction set after its `#pragma GCC
// target`, with a vector type V defined there in an anonymous namespace, so
// every instantiation stays local to its file and is compiled for that
// instruction set only.
//
// V provides: type reg, constant W, load(const double*), store(double*, reg),
// set1(double), mul, add, sub, ge_mask(reg, reg) -> bit mask of lanes with
// a >= b (false for NaN, like the scalar comparison), and eq2_mask(a, b, c, d)
// -> bit mask of lanes with a == b and c == d (false for NaN).
#pragma once

#include <limits>

#include "bigfloat/lane_scheduler.h"

namespace quorvel::orbit_lanes {

template <class V>
class DoubleKernel {
public:
    static constexpr int U = 4;
    static constexpr int W = V::W;
    static constexpr int L = U * W;
    // After the test at step s the count is base + (s - start) + 1.
    static constexpr uint32_t kStopOffset = 1;
    static constexpr bool kDetectsCycles = true;
    static constexpr uint64_t kCycleEvery = 1024;
    static constexpr uint64_t kRememberEvery = 1024;
    struct Regs {
        typename V::reg x[U], y[U], cx[U], cy[U];
        typename V::reg four;
    };

    void park(int l) {
        cx_[l] = cy_[l] = x_[l] = y_[l] = 0.0;   // 0 stays 0: never escapes
        seen_x_[l] = seen_y_[l] = kNothingSeen;  // nor repeats
    }
    void load_lane(int l, const Orbit& o) {
        cx_[l] = o.cx;
        cy_[l] = o.cy;
        x_[l] = o.x;
        y_[l] = o.y;
        // A state remembered at the present count is the present state.
        const bool earlier = o.seen_n < o.n;
        seen_x_[l] = earlier ? o.seen_x : kNothingSeen;
        seen_y_[l] = earlier ? o.seen_y : kNothingSeen;
    }
    void save_lane(int l, Orbit& o) const {
        o.x = x_[l];
        o.y = y_[l];
        o.seen_x = seen_x_[l];
        o.seen_y = seen_y_[l];
    }
    void remember(int l) {
        seen_x_[l] = x_[l];
        seen_y_[l] = y_[l];
    }

    // The z that escaped, kept aside by the step that found it.
    void save_final(int l, Orbit& o) const {
        o.x = escaped_x_[l];
        o.y = escaped_y_[l];
    }
    [[gnu::always_inline]] void init(Regs& r) const { r.four = V::set1(4.0); }
    [[gnu::always_inline]] void load(Regs& r) const {
#pragma GCC unroll 4
        for (int u = 0; u < U; ++u) {
            r.x[u] = V::load(x_ + u * W);
            r.y[u] = V::load(y_ + u * W);
            r.cx[u] = V::load(cx_ + u * W);
            r.cy[u] = V::load(cy_ + u * W);
        }
    }
    [[gnu::always_inline]] void store(const Regs& r) {
#pragma GCC unroll 4
        for (int u = 0; u < U; ++u) {
            V::store(x_ + u * W, r.x[u]);
            V::store(y_ + u * W, r.y[u]);
        }
    }
    // One step of every lane; the lanes that escaped at it. The step goes on
    // past an escape, so z before it is kept aside when any lane escaped: one
    // test per step, as rare as the events.
    [[gnu::always_inline]] unsigned step(Regs& r) {
        unsigned escaped = 0;
        typename V::reg before_x[U], before_y[U];
#pragma GCC unroll 4
        for (int u = 0; u < U; ++u) {
            before_x[u] = r.x[u];
            before_y[u] = r.y[u];
            const typename V::reg xx = V::mul(r.x[u], r.x[u]);
            const typename V::reg yy = V::mul(r.y[u], r.y[u]);
            const typename V::reg xy = V::mul(r.x[u], r.y[u]);
            const typename V::reg rr = V::add(xx, yy);
            escaped |= V::ge_mask(rr, r.four) << (u * W);
            r.y[u] = V::add(V::add(xy, xy), r.cy[u]);
            r.x[u] = V::add(V::sub(xx, yy), r.cx[u]);
        }
        if (escaped != 0) [[unlikely]] {
#pragma GCC unroll 4
            for (int u = 0; u < U; ++u) {
                V::store(escaped_x_ + u * W, before_x[u]);
                V::store(escaped_y_ + u * W, before_y[u]);
            }
        }
        return escaped;
    }
    // The lanes whose z equals the z they remember.
    unsigned repeats() const {
        unsigned equal = 0;
#pragma GCC unroll 4
        for (int u = 0; u < U; ++u)
            equal |= V::eq2_mask(V::load(x_ + u * W), V::load(seen_x_ + u * W), V::load(y_ + u * W),
                                 V::load(seen_y_ + u * W))
                     << (u * W);
        return equal;
    }
    // An escape counts the steps before it; the limit counts the last step too.
    bool ends(int, bool escaped, bool at_limit, uint64_t n, uint32_t& count) const {
        if (!escaped && !at_limit) return false;
        count = static_cast<uint32_t>(escaped ? n : n + 1);
        return true;
    }

private:
    static constexpr double kNothingSeen = std::numeric_limits<double>::quiet_NaN();
    alignas(64) double cx_[L], cy_[L], x_[L], y_[L];
    alignas(64) double seen_x_[L], seen_y_[L];
    alignas(64) double escaped_x_[L], escaped_y_[L];
};

template <class V>
bool run(uint32_t max_iterations, Orbit* orbits, size_t count, const Budget& budget) {
    DoubleKernel<V> kernel;
    return lane_scheduler::run(kernel, max_iterations, orbits, count, budget);
}

}  // namespace quorvel::orbit_lanes
