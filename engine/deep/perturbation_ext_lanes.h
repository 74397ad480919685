// Internal: the extended perturbation kernel on W-lane vectors, U vectors
// interleaved, fed from a queue of Orbit records by the lane scheduler
// (bigfloat/lane_scheduler.h). Included by one source file per instruction set
// after its `#pragma GCC target`, with a vector type V defined there in an
// anonymous namespace; the source includes <algorithm>, <bit> and <cmath>
// before its pragma, so that nothing of theirs is compiled for one
// instruction set only.
//
// V provides what the double kernel's vector type does, and: mask (a lane
// mask), lt/le/eq(reg, reg) -> mask, mask_and/mask_or, mask_andnot(a, b)
// (a & ~b), bits(mask) -> unsigned, select(mask, a, b) (a where set),
// clear(mask, a) (0 where set), keep(mask, a) (0 where not set), abs, min, max,
// gather(const double* base, reg index) with integral indices held as doubles,
// pow2(j) = 2^j for integral j in [-1022, 1023], and exponent(a) = floor(log2 a)
// for normal a > 0.
//
// Each lane holds a pixel's ExtWalk (perturbation_ext_walk.h). The vector loop
// takes the scaled step, and rescales w and the error in place, with the
// operations of ExtPixelKernel::advance in the same order. Whatever else the
// scalar loop would do at a step (a step in ExtFloats near small reference
// values, an escape, a rebase, the end of the reference, a rescale from a
// subnormal) is an event: the lane keeps its state from before the step, or
// for a rescale from after it, and ends() hands the pixel to the scalar code
// for that step. So every lane follows exactly the scalar loop's path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bigfloat/lane_scheduler.h"
#include "deep/perturbation_ext_batch.h"
#include "deep/perturbation_ext_walk.h"

namespace quorvel::perturbation_ext_lanes {

// With kGated (perturbation_bla_ext_lanes.h) the lanes also count their steps
// and stop where the linear-step loop ends a run of single steps and could do
// more than settle the walk: step() leaves those lanes before the step, and
// settles the others as ExtPixelKernel::settle would.
template <class V, int U, bool kGated = false>
class ExtKernel {
public:
    using reg = typename V::reg;
    using mask = typename V::mask;
    static constexpr int W = V::W;
    static constexpr int L = U * W;
    // After the test at step s the count is base + (s - start) + 1; the limit
    // ends the pixel once that count + 1 reaches max_iterations.
    static constexpr uint32_t kStopOffset = 2;
    // The state that repeats is the walk's after a scaled step (walk_state).
    static constexpr bool kDetectsCycles = true;
    static constexpr uint64_t kCycleEvery = 64;
    static constexpr uint64_t kRememberEvery = 512;
    struct Regs {
        reg wx[U], wy[U], eps[U], prev[U], s[U], s2[U], vx[U], vy[U], f[U], zr[U], zi[U], m[U];
        // Per lane: reference values below `floor` read as zero; Z is big
        // (a deep step may be scaled) from `thr` up: 0 when shallow, +inf in
        // the exact regime, where no step is scaled.
        reg floor[U], thr[U];
        mask big[U];  // Z_m is big
        // Gated: the count, the reference index last remembered, and the
        // count from which the next state is remembered.
        reg n[U], seen_m[U], mark[U];
        reg limit, tiny, settle_floor, settle_top;
        const double* gates;
        reg one, park, four, low, step_error, high_w, low_w, high_e, low_e;
        const double* zre;
        const double* zim;
    };

    ExtKernel(const ExtBatch& batch, uint32_t max_iterations, const Orbit* records)
        : batch_(batch), max_iterations_(max_iterations), records_(records) {}

    // An empty lane waits one past the reference, at Z = 0.5 with w = 1 and
    // no scales, which the step leaves as it is.
    void park(int l) {
        wx_[l] = 1.0;
        wy_[l] = 0.0;
        eps_[l] = 1.0;
        prev_[l] = 0.25;
        s_[l] = s2_[l] = vx_[l] = vy_[l] = f_[l] = 0.0;
        zr_[l] = 0.5;
        zi_[l] = 0.0;
        m_[l] = static_cast<double>(batch_.orbit.length);
        floor_[l] = thr_[l] = 0.0;
        k_[l] = ke_[l] = 0.0;
        skipped_[l] = 0;
        hard_[l] = false;
        seen_wx_[l] = kNothingSeen;
        seen_wy_[l] = seen_k_[l] = seen_m_[l] = 0.0;
    }
    void load_lane(int l, const Orbit& o) {
        const uint32_t pixel = batch_.pixels[&o - records_];
        const ExtFloat dcx = batch_.dcx[pixel % batch_.width];
        const ExtFloat dcy = batch_.dcy[pixel / batch_.width];
        dcx_[l] = dcx;
        dcy_[l] = dcy;
        const ExtPixelKernel kernel = pixel_kernel(l);
        // An ExtFloat zero has exponent 0, which keeps 2^(e - k) finite.
        dcmx_[l] = dcx.m;
        dcex_[l] = static_cast<double>(dcx.e);
        dcmy_[l] = dcy.m;
        dcey_[l] = static_cast<double>(dcy.e);
        lowest_[l] = static_cast<double>(kernel.lowest_scale());
        kzero_[l] = static_cast<double>(kernel.zero_scale());
        hard_[l] = false;
        ExtWalk w;
        kernel.enter(ext_record_state(o), w);
        put(l, w);
        // A state remembered at the present count is the present state.
        seen_wx_[l] = o.n != 0 && o.seen_n != 0 && o.seen_n < o.n ? o.seen_x : kNothingSeen;
        seen_wy_[l] = o.seen_y;
        seen_k_[l] = o.seen_k;
        seen_m_[l] = o.seen_aux;
    }
    // An escape is always taken by the scalar code, which left the pixel's z.
    void save_final(int l, Orbit& o) const {
        o.x = escaped_[l].x;
        o.y = escaped_[l].y;
    }
    void save_lane(int l, Orbit& o) const {
        o.x = wx_[l];
        o.y = wy_[l];
        o.cx = k_[l];
        keep_ext_error(ExtFloat::make(eps_[l], static_cast<int64_t>(ke_[l])), skipped_[l], o);
        o.aux = static_cast<uint32_t>(m_[l]);
        const auto k = static_cast<int64_t>(seen_k_[l]);
        keep_ext_seen(ExtSeen{ExtFloat::raw(seen_wx_[l], k), ExtFloat::raw(seen_wy_[l], k),
                              static_cast<uint32_t>(seen_m_[l]), 0},
                      o);
    }
    void remember(int l) {
        seen_wx_[l] = wx_[l];
        seen_wy_[l] = wy_[l];
        seen_k_[l] = k_[l];
        seen_m_[l] = m_[l];
    }
    // The lanes whose walk_state equals the one they remember, bit for bit:
    // dz, at whatever scales, and the reference index.
    unsigned repeats() const {
        unsigned equal = 0;
        for (int l = 0; l < L; ++l) {
            if (!(m_[l] == seen_m_[l] && seen_wx_[l] == seen_wx_[l])) continue;
            const auto k = static_cast<int64_t>(k_[l]), seen_k = static_cast<int64_t>(seen_k_[l]);
            const bool same = ExtFloat::make(wx_[l], k) == ExtFloat::make(seen_wx_[l], seen_k) &&
                              ExtFloat::make(wy_[l], k) == ExtFloat::make(seen_wy_[l], seen_k);
            equal |= static_cast<unsigned>(same) << l;
        }
        return equal;
    }

    [[gnu::always_inline]] void init(Regs& r) const {
        r.one = V::set1(1.0);
        r.park = V::set1(static_cast<double>(batch_.orbit.length));
        r.four = V::set1(4.0);
        r.low = V::set1(kLow);
        r.step_error = V::set1(kStepErrorSquared);
        r.high_w = V::set1(ext_walk::kHighW);
        r.low_w = V::set1(ext_walk::kLowW);
        r.high_e = V::set1(ext_walk::kHighError);
        r.low_e = V::set1(ext_walk::kLowError);
        r.zre = batch_.lane_re;
        r.zim = batch_.lane_im;
    }
    [[gnu::always_inline]] void load(Regs& r) const {
        for (int u = 0; u < U; ++u) {
            const int o = u * W;
            r.wx[u] = V::load(wx_ + o);
            r.wy[u] = V::load(wy_ + o);
            r.eps[u] = V::load(eps_ + o);
            r.prev[u] = V::load(prev_ + o);
            r.s[u] = V::load(s_ + o);
            r.s2[u] = V::load(s2_ + o);
            r.vx[u] = V::load(vx_ + o);
            r.vy[u] = V::load(vy_ + o);
            r.f[u] = V::load(f_ + o);
            r.zr[u] = V::load(zr_ + o);
            r.zi[u] = V::load(zi_ + o);
            r.m[u] = V::load(m_ + o);
            r.floor[u] = V::load(floor_ + o);
            r.thr[u] = V::load(thr_ + o);
            if constexpr (kGated) {
                r.n[u] = V::load(n_ + o);
                r.seen_m[u] = V::load(seen_m_ + o);
                r.mark[u] = V::load(mark_ + o);
            }
            r.big[u] = V::le(r.thr[u], V::max(V::abs(r.zr[u]), V::abs(r.zi[u])));
        }
    }
    [[gnu::always_inline]] void store(const Regs& r) {
        for (int u = 0; u < U; ++u) {
            const int o = u * W;
            V::store(wx_ + o, r.wx[u]);
            V::store(wy_ + o, r.wy[u]);
            V::store(eps_ + o, r.eps[u]);
            V::store(prev_ + o, r.prev[u]);
            V::store(s_ + o, r.s[u]);
            V::store(s2_ + o, r.s2[u]);
            V::store(vx_ + o, r.vx[u]);
            V::store(vy_ + o, r.vy[u]);
            V::store(f_ + o, r.f[u]);
            V::store(zr_ + o, r.zr[u]);
            V::store(zi_ + o, r.zi[u]);
            V::store(m_ + o, r.m[u]);
            V::store(floor_ + o, r.floor[u]);
            V::store(thr_ + o, r.thr[u]);
            if constexpr (kGated) V::store(n_ + o, r.n[u]);
        }
    }

    // One scaled step of every lane; a bit mask of the lanes with an event.
    [[gnu::always_inline]] unsigned step(Regs& r) {
        unsigned events = 0;
        for (int u = 0; u < U; ++u) {
            // Z_{m+1} as read for the lane's regime; an empty lane stays put.
            const reg m1 = V::min(V::add(r.m[u], r.one), r.park);
            const reg gr = V::gather(r.zre, m1), gi = V::gather(r.zim, m1);
            const reg agr = V::abs(gr), agi = V::abs(gi);
            const mask low_r = V::lt(agr, r.floor[u]), low_i = V::lt(agi, r.floor[u]);
            const reg zr1 = V::clear(low_r, gr), zi1 = V::clear(low_i, gi);
            const mask big1 = V::le(r.thr[u], V::max(agr, agi));
            // dz <- (2 Z_m + dz) dz + dc, divided by 2^k.
            const reg swx = V::mul(r.s[u], r.wx[u]), swy = V::mul(r.s[u], r.wy[u]);
            const reg ar = V::add(V::add(r.zr[u], r.zr[u]), swx);
            const reg ai = V::add(V::add(r.zi[u], r.zi[u]), swy);
            const reg px = V::add(V::sub(V::mul(ar, r.wx[u]), V::mul(ai, r.wy[u])), r.vx[u]);
            const reg py = V::add(V::add(V::mul(ar, r.wy[u]), V::mul(ai, r.wx[u])), r.vy[u]);
            const reg dw = V::add(V::mul(px, px), V::mul(py, py));
            const reg eps = V::add(V::mul(V::mul(r.four, r.prev[u]), r.eps[u]),
                                   V::mul(V::mul(r.step_error, dw), r.f[u]));
            const reg a = V::max(V::abs(px), V::abs(py));
            const mask small_w = V::le(a, r.high_w);
            const reg x = V::add(zr1, V::mul(r.s[u], px));
            const reg y = V::add(zi1, V::mul(r.s[u], py));
            // |z|^2 without a square that cannot count (kDeepSquareFloor): in
            // a deep lane with w in its window |dz| < 2^-376, so a part whose
            // reference value read as zero is below that, and where the step
            // is scaled the other part exceeds 2^-301.
            const reg xs = V::clear(V::mask_and(low_r, small_w), x);
            const reg ys = V::clear(V::mask_and(low_i, small_w), y);
            const reg rr = V::add(V::mul(xs, xs), V::mul(ys, ys));
            const reg d = V::mul(r.s2[u], dw);
            // Scaled, clear of 4 (a NaN at the reference's end is not), and
            // no rebase.
            mask ok = V::mask_andnot(V::mask_and(V::mask_and(r.big[u], big1), V::lt(rr, r.low)),
                                     V::lt(rr, d));
            const mask in_window =
                V::mask_and(V::mask_and(small_w, V::le(r.low_w, a)),
                            V::mask_and(V::le(eps, r.high_e), V::le(r.low_e, eps)));
            mask rescaled;
            if constexpr (kGated) {
                const mask at = gate(r, u, ok, m1, dw, px, py, rr, in_window);
                rescaled = V::mask_or(V::mask_andnot(ok, in_window), V::mask_and(ok, at));
            } else {
                rescaled = V::mask_andnot(ok, in_window);
            }
            const unsigned ok_bits = V::bits(ok);
            if (ok_bits == kAll) [[likely]] {
                r.wx[u] = px;
                r.wy[u] = py;
                r.eps[u] = eps;
                r.prev[u] = rr;
                r.zr[u] = zr1;
                r.zi[u] = zi1;
                r.m[u] = m1;
                r.big[u] = big1;
            } else {
                r.wx[u] = V::select(ok, px, r.wx[u]);
                r.wy[u] = V::select(ok, py, r.wy[u]);
                r.eps[u] = V::select(ok, eps, r.eps[u]);
                r.prev[u] = V::select(ok, rr, r.prev[u]);
                r.zr[u] = V::select(ok, zr1, r.zr[u]);
                r.zi[u] = V::select(ok, zi1, r.zi[u]);
                r.m[u] = V::select(ok, m1, r.m[u]);
                r.big[u] = V::mask_or(V::mask_and(ok, big1), V::mask_andnot(r.big[u], ok));
                events |= (~ok_bits & kAll) << (u * W);
            }
            if (V::bits(rescaled) != 0) [[unlikely]]
                events |= rescale(r, u, rescaled, gr, gi) << (u * W);
        }
        return events;
    }

    // After store(): lanes at their limit without an event took a scaled
    // step that did not escape; the others take this step in the scalar code.
    bool ends(int l, bool event, bool at_limit, uint64_t before, uint32_t& count) {
        if (!event) {
            count = static_cast<uint32_t>(before + 2);
            return true;
        }
        const ExtPixelKernel kernel = pixel_kernel(l);
        if (hard_[l]) {
            // The step was taken; its rescale was not.
            hard_[l] = false;
            if (at_limit) {
                count = static_cast<uint32_t>(before + 2);
                return true;
            }
            ExtWalk w = walk(l, before + 1);
            kernel.rescale(w);
            put(l, w);
            return false;
        }
        ExtWalk w = walk(l, before);
        uint32_t result = 0;
        if (kernel.advance(w, 1, result)) {
            count = result;
            escaped_[l] = w.escaped;
            return true;
        }
        put(l, w);
        return false;
    }

protected:
    static constexpr double kLow = 4.0 - 4.0 * kUndecidedEscape;
    static constexpr unsigned kAll = (1u << W) - 1;
    static constexpr uint64_t kNotExact = UINT64_MAX;
    // Never equal, not even to itself.
    static constexpr double kNothingSeen = std::numeric_limits<double>::quiet_NaN();

    static ExtRegime regime_of(int64_t k) {
        return k > ext_walk::kLargestFastScale ? ExtRegime::exact
               : k >= ext_walk::kShallowScale  ? ExtRegime::shallow
                                               : ExtRegime::deep;
    }

    ExtPixelKernel pixel_kernel(int l) const {
        return ExtPixelKernel(batch_.orbit, max_iterations_, dcx_[l], dcy_[l]);
    }

    // Lane l's walk before the test that makes its count n.
    ExtWalk walk(int l, uint64_t n) const {
        ExtWalk w;
        w.wx = wx_[l];
        w.wy = wy_[l];
        w.eps = eps_[l];
        w.k = static_cast<int64_t>(k_[l]);
        w.ke = static_cast<int64_t>(ke_[l]);
        w.s = s_[l];
        w.s2 = s2_[l];
        w.vx = vx_[l];
        w.vy = vy_[l];
        w.f = f_[l];
        w.regime = regime_of(w.k);
        w.m = static_cast<uint32_t>(m_[l]);
        w.n = static_cast<uint32_t>(n);
        w.previous = prev_[l];
        w.previous_exact = prev_exact_[l];
        w.exact_is_current = exact_at_[l] == n;
        w.zr = zr_[l];
        w.zi = zi_[l];
        w.big_m = std::max(std::fabs(w.zr), std::fabs(w.zi)) >= ext_walk::kBigReference;
        w.skipped = skipped_[l];
        return w;
    }
    void put(int l, const ExtWalk& w) {
        wx_[l] = w.wx;
        wy_[l] = w.wy;
        eps_[l] = w.eps;
        k_[l] = static_cast<double>(w.k);
        ke_[l] = static_cast<double>(w.ke);
        s_[l] = w.s;
        s2_[l] = w.s2;
        vx_[l] = w.vx;
        vy_[l] = w.vy;
        f_[l] = w.f;
        m_[l] = static_cast<double>(w.m);
        prev_[l] = w.previous;
        prev_exact_[l] = w.previous_exact;
        exact_at_[l] = w.exact_is_current ? w.n : kNotExact;
        zr_[l] = w.zr;
        zi_[l] = w.zi;
        skipped_[l] = w.skipped;
        const bool deep = w.regime == ExtRegime::deep;
        floor_[l] = deep ? ext_walk::kDeepReadingFloor : 0.0;
        thr_[l] = w.regime == ExtRegime::exact ? HUGE_VAL : deep ? ext_walk::kBigReference : 0.0;
    }

    // Gated: takes off `ok` the lanes at their limit and, at the end of a run
    // of single steps, those for which the linear-step loop might take a
    // linear step (|dz|^2 not clearly above the first level's radius), look
    // for a repeat or remember the state, or fail to settle the walk (settle
    // needs |z|^2 >= 2^-960, both parts of w normal, and scales far below the
    // exact regime); counts the others' step. Returns the lanes at a run's end.
    [[gnu::always_inline]] mask gate(Regs& r, int u, mask& ok, reg m1, reg dw, reg px, reg py,
                                     reg rr, mask in_window) {
        const reg g = V::gather(r.gates, m1);
        const mask at = V::eq(g, g);
        const reg n1 = V::add(r.n[u], r.one);
        const reg k = V::load(k_ + u * W);
        const mask maybe = V::lt(V::add(V::exponent(dw), V::add(k, k)), g);
        const mask watch = V::mask_or(V::eq(m1, r.seen_m[u]), V::le(r.mark[u], n1));
        const mask fine =
            V::mask_and(V::mask_and(in_window, V::le(r.tiny, V::min(V::abs(px), V::abs(py)))),
                        V::mask_and(V::le(r.settle_floor, rr), V::le(k, r.settle_top)));
        const mask check =
            V::mask_or(V::mask_and(at, V::mask_or(maybe, watch)), V::mask_andnot(at, fine));
        ok = V::mask_and(V::mask_andnot(ok, check), V::lt(n1, r.limit));
        r.n[u] = V::select(ok, n1, r.n[u]);
        return at;
    }

    // 2^j for any integral j, clamped to [-1022, 1023].
    static reg pow2_clamped(reg j) {
        return V::pow2(V::min(V::max(j, V::set1(-1022.0)), V::set1(1023.0)));
    }
    // scaled_down(x 2^k, k') for j = k - k': x 2^j, or 0 where that is below
    // the normal range. Scaling up is exact; scaling down, x must reach
    // 2^(-1022 - j).
    static reg scale_by(reg x, reg ax, reg j) {
        const reg zero = V::set1(0.0), tiny = V::set1(0x1p-1022);
        const reg t = V::mul(x, pow2_clamped(j));
        const mask up = V::le(zero, j);
        const mask kept = V::mask_or(
            V::mask_or(V::mask_and(up, V::le(tiny, V::abs(t))),
                       V::mask_andnot(V::le(pow2_clamped(V::sub(V::set1(-1022.0), j)), ax), up)),
            V::eq(x, zero));
        return V::keep(kept, t);
    }

    // ExtPixelKernel::rescale on the lanes of `sel`, which took a scaled step
    // to m; (gr, gi) is Z_m unread. Returns the lanes left to the scalar code
    // (a subnormal w or error).
    [[gnu::always_inline]] unsigned rescale(Regs& r, int u, mask sel, reg gr, reg gi) {
        using namespace ext_walk;
        const int o = u * W;
        const reg zero = V::set1(0.0), tiny = V::set1(0x1p-1022);
        const reg k = V::load(k_ + o), ke = V::load(ke_ + o);
        const reg wx = r.wx[u], wy = r.wy[u], eps = r.eps[u];
        const reg awx = V::abs(wx), awy = V::abs(wy);
        const reg a = V::max(awx, awy);
        const mask hard =
            V::mask_and(sel, V::mask_or(V::mask_and(V::lt(a, tiny), V::lt(zero, a)),
                                        V::mask_and(V::lt(eps, tiny), V::lt(zero, eps))));
        const mask apply = V::mask_andnot(sel, hard);
        // set_offset: k' from the top exponent of dz, or dc's when dz is 0.
        const reg k1 = V::select(V::eq(a, zero), V::load(kzero_ + o),
                                 V::max(V::add(k, V::exponent(a)), V::load(lowest_ + o)));
        const reg j = V::sub(k, k1);
        const reg wx1 = scale_by(wx, awx, j), wy1 = scale_by(wy, awy, j);
        const reg jx = V::sub(V::load(dcex_ + o), k1), jy = V::sub(V::load(dcey_ + o), k1);
        const reg bottom = V::set1(-1022.0);
        const reg vx1 = V::keep(V::le(bottom, jx), V::mul(V::load(dcmx_ + o), pow2_clamped(jx)));
        const reg vy1 = V::keep(V::le(bottom, jy), V::mul(V::load(dcmy_ + o), pow2_clamped(jy)));
        const mask exact = V::lt(V::set1(double(kLargestFastScale)), k1);
        const mask deep = V::lt(k1, V::set1(double(kShallowScale)));
        const reg k2 = V::add(k1, k1);
        const reg s1 = V::keep(V::mask_andnot(V::le(V::set1(double(kLowestScale)), k1), exact),
                               pow2_clamped(k1));
        const reg s21 = V::keep(
            V::mask_andnot(V::le(V::set1(double(kLowestScale + 64)), k2), exact), pow2_clamped(k2));
        const reg floor1 = V::keep(deep, V::set1(kDeepReadingFloor));
        const reg thr1 = V::select(exact, V::set1(HUGE_VAL), V::keep(deep, V::set1(kBigReference)));
        // set_error.
        const reg ke1 = V::max(V::select(V::eq(eps, zero), k2, V::add(ke, V::exponent(eps))),
                               V::sub(k2, V::set1(double(kHeadroom))));
        const reg eps1 = scale_by(eps, eps, V::sub(ke, ke1));
        const reg fe = V::sub(k2, ke1);
        const reg f1 = V::keep(V::le(bottom, fe), pow2_clamped(fe));
        // Z_m read for the new regime.
        const reg agr = V::abs(gr), agi = V::abs(gi);
        const reg zr1 = V::clear(V::lt(agr, floor1), gr);
        const reg zi1 = V::clear(V::lt(agi, floor1), gi);
        const mask big1 = V::le(thr1, V::max(agr, agi));

        r.wx[u] = V::select(apply, wx1, wx);
        r.wy[u] = V::select(apply, wy1, wy);
        r.eps[u] = V::select(apply, eps1, eps);
        r.s[u] = V::select(apply, s1, r.s[u]);
        r.s2[u] = V::select(apply, s21, r.s2[u]);
        r.vx[u] = V::select(apply, vx1, r.vx[u]);
        r.vy[u] = V::select(apply, vy1, r.vy[u]);
        r.f[u] = V::select(apply, f1, r.f[u]);
        r.floor[u] = V::select(apply, floor1, r.floor[u]);
        r.thr[u] = V::select(apply, thr1, r.thr[u]);
        r.zr[u] = V::select(apply, zr1, r.zr[u]);
        r.zi[u] = V::select(apply, zi1, r.zi[u]);
        r.big[u] = V::mask_or(V::mask_and(apply, big1), V::mask_andnot(r.big[u], apply));
        V::store(k_ + o, V::select(apply, k1, k));
        V::store(ke_ + o, V::select(apply, ke1, ke));
        unsigned hard_bits = V::bits(hard);
        for (unsigned b = hard_bits; b != 0; b &= b - 1) hard_[o + std::countr_zero(b)] = true;
        return hard_bits;
    }

    const ExtBatch batch_;
    const uint32_t max_iterations_;
    const Orbit* const records_;
    alignas(64) double wx_[L], wy_[L], eps_[L], prev_[L], s_[L], s2_[L], vx_[L], vy_[L], f_[L];
    alignas(64) double zr_[L], zi_[L], m_[L], floor_[L], thr_[L], k_[L], ke_[L];
    // Read by the vector rescale: dc as mantissa and exponent, the lowest scale
    // and the scale of a zero dz.
    alignas(64) double dcmx_[L], dcex_[L], dcmy_[L], dcey_[L], lowest_[L], kzero_[L];
    ExtFloat dcx_[L], dcy_[L], prev_exact_[L];
    // The count at which prev_exact_ is current, if any.
    uint64_t exact_at_[L];
    // ExtWalk::skipped, which single steps carry unchanged.
    uint32_t skipped_[L];
    // Cycle detection: each lane's walk_state as remembered.
    alignas(64) double seen_wx_[L], seen_wy_[L], seen_k_[L], seen_m_[L];
    // Gated: each lane's count and the count from which it remembers its state.
    alignas(64) double n_[L], mark_[L];
    bool hard_[L];
    EscapedZ escaped_[L];
};

template <class V, int U>
bool run(const ExtBatch& batch, uint32_t max_iterations, Orbit* records, size_t count,
         const Budget& budget) {
    ExtKernel<V, U> kernel(batch, max_iterations, records);
    return lane_scheduler::run(kernel, max_iterations, records, count, budget);
}

}  // namespace quorvel::perturbation_ext_lanes
