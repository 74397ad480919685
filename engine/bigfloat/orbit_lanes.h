// Internal: the double kernel on W-lane vectors, four vectors interleaved, fed
// from a queue of Orbit records. Included by one source file per instruction
// set after its `#pragma GCC target`, with a vector type V defined there in an
// anonymous namespace, so every instantiation stays local to its file and is
// compiled for that instruction set only.
//
// V provides: type reg, constant W, load(const double*), store(double*, reg),
// set1(double), mul, add, sub, and ge_mask(reg, reg) -> bit mask of lanes with
// a >= b (false for NaN, like the scalar comparison).
//
// Lane technique: one step counter serves all lanes; each lane remembers the
// step at which it was loaded, its count then, and the step at which it
// reaches the limit. A lane whose pixel escapes or reaches the limit is
// refilled at once from the queue.
#pragma once

#include <bit>

namespace quorvel::orbit_lanes {

// Steps between two looks at the budget (each step advances every lane).
constexpr uint64_t kCheckSteps = 1024;

template <class V>
bool run(uint32_t max_iterations, Orbit* orbits, size_t count, const Budget& budget) {
    constexpr int U = 4;
    constexpr int W = V::W;
    constexpr int L = U * W;
    constexpr uint64_t kParked = UINT64_MAX;

    alignas(64) double cx[L], cy[L], x[L], y[L];
    uint64_t start[L], stop[L];
    uint32_t base[L];
    size_t which[L];

    size_t cursor = 0;
    int active = 0;
    uint64_t k = 0;

    // Loads the next pending record into lane l, to run from step `at`.
    auto fill = [&](int l, uint64_t at) {
        while (cursor < count && orbits[cursor].done) ++cursor;
        if (cursor == count) {
            cx[l] = cy[l] = x[l] = y[l] = 0.0;  // 0 stays 0: never escapes
            stop[l] = kParked;
            which[l] = count;
            return;
        }
        const Orbit& o = orbits[cursor];
        cx[l] = o.cx;
        cy[l] = o.cy;
        x[l] = o.x;
        y[l] = o.y;
        base[l] = o.n;
        start[l] = at;
        // After the test at step s the count is base + (s - start) + 1, and
        // the limit ends the pixel once that is >= max_iterations.
        stop[l] = at + (max_iterations > o.n + 1ull ? max_iterations - o.n - 1ull : 0);
        which[l] = cursor++;
        ++active;
    };
    auto finish = [&](int l, uint64_t n) {
        Orbit& o = orbits[which[l]];
        o.n = static_cast<uint32_t>(n);
        o.done = true;
        --active;
    };
    // Writes z and n of the lanes in flight back to their records, as they
    // stand before step `at`.
    auto write_back = [&](uint64_t at) {
        for (int l = 0; l < L; ++l) {
            if (stop[l] == kParked) continue;
            Orbit& o = orbits[which[l]];
            o.x = x[l];
            o.y = y[l];
            o.n = static_cast<uint32_t>(base[l] + (at - start[l]));
        }
    };
    auto earliest_stop = [&] {
        uint64_t m = kParked;
        for (int l = 0; l < L; ++l) m = stop[l] < m ? stop[l] : m;
        return m;
    };

    for (int l = 0; l < L; ++l) fill(l, 0);
    if (active == 0) return true;
    uint64_t next_stop = earliest_stop();
    const uint64_t step_cap = budget.max_steps;
    uint64_t next_check = kCheckSteps < step_cap ? kCheckSteps : step_cap;

    // Kept in registers: no lambda takes their address.
    typename V::reg vx[U], vy[U], vcx[U], vcy[U];
#define QV_LOAD_LANES()                                   \
    _Pragma("GCC unroll 4") for (int u = 0; u < U; ++u) { \
        vx[u] = V::load(x + u * W);                       \
        vy[u] = V::load(y + u * W);                       \
        vcx[u] = V::load(cx + u * W);                     \
        vcy[u] = V::load(cy + u * W);                     \
    }
#define QV_STORE_Z()                                      \
    _Pragma("GCC unroll 4") for (int u = 0; u < U; ++u) { \
        V::store(x + u * W, vx[u]);                       \
        V::store(y + u * W, vy[u]);                       \
    }
    QV_LOAD_LANES();
    const typename V::reg four = V::set1(4.0);

    for (;;) {
        unsigned escaped = 0;
#pragma GCC unroll 4
        for (int u = 0; u < U; ++u) {
            const typename V::reg xx = V::mul(vx[u], vx[u]);
            const typename V::reg yy = V::mul(vy[u], vy[u]);
            const typename V::reg xy = V::mul(vx[u], vy[u]);
            const typename V::reg r = V::add(xx, yy);
            escaped |= V::ge_mask(r, four) << (u * W);
            vy[u] = V::add(V::add(xy, xy), vcy[u]);
            vx[u] = V::add(V::sub(xx, yy), vcx[u]);
        }
        if (escaped != 0 || k == next_stop) [[unlikely]] {
            QV_STORE_Z();
            // Only the lanes that ended are visited, in lane order.
            unsigned ended = escaped;
            if (k == next_stop)
                for (int l = 0; l < L; ++l) ended |= static_cast<unsigned>(stop[l] == k) << l;
            bool limit_hit = false;
            while (ended != 0) {
                const int l = std::countr_zero(ended);
                ended &= ended - 1;
                if (stop[l] == kParked) continue;
                if ((escaped >> l) & 1) {
                    finish(l, base[l] + (k - start[l]));
                } else {
                    finish(l, base[l] + (k - start[l]) + 1);
                    limit_hit = true;
                }
                fill(l, k + 1);
                // A later stop leaves next_stop early, which only costs a
                // needless visit here; an earlier one must lower it.
                if (stop[l] < next_stop) next_stop = stop[l];
            }
            if (limit_hit || k == next_stop) next_stop = earliest_stop();
            if (active == 0) return true;
            if (budget.wanted != nullptr && budget.wanted->done) {
                write_back(k + 1);
                return false;
            }
            QV_LOAD_LANES();
        }
        ++k;
        if (k >= next_check) [[unlikely]] {
            if (k >= step_cap || budget.time_over()) {
                QV_STORE_Z();
                write_back(k);
                return false;
            }
            next_check = k + kCheckSteps < step_cap ? k + kCheckSteps : step_cap;
        }
    }
}

#undef QV_LOAD_LANES
#undef QV_STORE_Z

}  // namespace quorvel::orbit_lanes
