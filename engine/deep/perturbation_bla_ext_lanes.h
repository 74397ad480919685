// Internal: the extended linear-step loop with its single steps on W-lane
// vectors. Included by each instruction set's source file after
// perturbation_ext_lanes.h, with its vector type V.
//
// A pixel starts in the scalar loop (bla_run_ext), which hands it to a lane as
// a run of single steps from an aligned index starts. The lane takes the
// extended kernel's scaled steps, and at each run's end settles the walk as the
// scalar loop does, unless that loop could do more there (a linear step, a
// look for repeats) or the lane's step is no plain scaled step (an event of
// perturbation_ext_lanes.h, the limit): then the lane keeps its state from
// before the step and the scalar loop goes on from it, in the middle of its
// run. So a pixel follows exactly the path bla_steps_ext gives it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deep/perturbation_bla_ext.h"
#include "deep/perturbation_ext_lanes.h"

namespace quorvel::perturbation_bla_ext_lanes {

// Steps of the scalar loop at a lane's event, at most: a pixel that goes on
// taking linear steps waits on its lane for the next event.
constexpr uint64_t kScalarWork = 256;
// Steps between two looks at the budget: the lanes', and those the scalar
// loop takes at their events.
constexpr uint64_t kCheckSteps = 1024;

template <class V, int U>
class BlaKernel : public perturbation_ext_lanes::ExtKernel<V, U, true> {
    using Base = perturbation_ext_lanes::ExtKernel<V, U, true>;

public:
    using Regs = typename Base::Regs;
    static constexpr int L = Base::L;

    BlaKernel(const ExtBatch& batch, const BlaTable<ExtFloat>& table, const double* gates,
              uint32_t max_iterations, const Orbit* records)
        : Base(batch, max_iterations, records),
          table_(table),
          gates_(gates),
          mask_((uint32_t{1} << table.first_level()) - 1) {}

    void init(Regs& r) const {
        Base::init(r);
        r.limit = V::set1(static_cast<double>(this->max_iterations_) - 1.0);
        r.tiny = V::set1(0x1p-1022);
        r.settle_floor = V::set1(0x1p-960);
        // With |w| < 2^64 the settled scale stays below the exact regime.
        r.settle_top = V::set1(static_cast<double>(ext_walk::kLargestFastScale - 100));
        r.gates = gates_;
    }

    void park(int l) {
        Base::park(l);
        this->n_[l] = -HUGE_VAL;
        this->mark_[l] = HUGE_VAL;
        this->seen_m_[l] = std::numeric_limits<double>::quiet_NaN();
        pending_[l] = false;
    }
    // The record's pixel starts in the scalar loop, at the lane's first step.
    void load_record(int l, const Orbit& o) {
        Base::load_lane(l, o);
        scalar_[l] = ExtBlaState{};
        scalar_[l].s = ext_record_state(o);
        wait(l);
    }
    // After store(regs): lane l had an event; true with the count once its
    // pixel ends. Adds the scalar loop's steps to `steps`.
    bool ends(int l, uint32_t& count, uint64_t& steps) {
        ExtBlaState& p = scalar_[l];
        if (!pending_[l]) {
            p.walking = true;
            p.w = this->walk(l, static_cast<uint64_t>(this->n_[l]));
            if (this->hard_[l]) {
                // The step was taken, within a run; its rescale was not.
                this->hard_[l] = false;
                this->pixel_kernel(l).rescale(p.w);
            }
            p.w.seen = seen_[l];
            p.left = bla_to_aligned(p.w.m, mask_);
        }
        uint64_t work = kScalarWork;
        uint32_t result = 0;
        const ExtBlaStop stop = bla_run_ext(this->batch_.orbit, table_, this->max_iterations_,
                                            this->dcx_[l], this->dcy_[l], p, work, result, true);
        steps += kScalarWork - work;
        switch (stop) {
            case ExtBlaStop::ended:
                count = result;
                this->escaped_[l] = p.s.escaped;
                return true;
            case ExtBlaStop::lanes:
                pending_[l] = false;
                this->put(l, p.w);
                this->n_[l] = static_cast<double>(p.w.n);
                seen_[l] = p.w.seen;
                this->seen_m_[l] = static_cast<double>(p.w.seen.m);
                this->mark_[l] = static_cast<double>(bla_next_mark(p.w.seen.n));
                return false;
            default:
                wait(l);
                return false;
        }
    }
    // The pixel of lane l, resumable.
    void save(int l, Orbit& o) const {
        const ExtBlaState& p = scalar_[l];
        if (pending_[l]) {
            pack_ext_record(p.walking ? ExtPixelKernel::leave(p.w) : p.s, o);
            return;
        }
        ExtWalk w = this->walk(l, static_cast<uint64_t>(this->n_[l]));
        if (this->hard_[l]) this->pixel_kernel(l).rescale(w);
        w.seen = seen_[l];
        pack_ext_record(ExtPixelKernel::leave(w), o);
    }

private:
    // The lane's next step reads the reference's last value, NaN: an event.
    void wait(int l) {
        pending_[l] = true;
        this->m_[l] = static_cast<double>(this->batch_.orbit.length) - 2.0;
        this->n_[l] = -HUGE_VAL;
    }

    const BlaTable<ExtFloat>& table_;
    const double* const gates_;
    const uint32_t mask_;
    // The scalar loop's state of a lane's pixel, current while pending.
    ExtBlaState scalar_[L];
    ExtSeen seen_[L];
    bool pending_[L];
};

// Runs the pending records; true when all are done.
template <class V, int U>
bool run(const ExtBatch& batch, const BlaTable<ExtFloat>& table, const double* gates,
         uint32_t max_iterations, Orbit* records, size_t count, const Budget& budget) {
    BlaKernel<V, U> kernel(batch, table, gates, max_iterations, records);
    constexpr int L = BlaKernel<V, U>::L;
    size_t which[L];
    size_t cursor = 0;
    int active = 0;
    const auto fill = [&](int l) {
        while (cursor < count && records[cursor].done) ++cursor;
        if (cursor == count) {
            kernel.park(l);
            which[l] = count;
            return;
        }
        kernel.load_record(l, records[cursor]);
        which[l] = cursor++;
        ++active;
    };
    const auto write_back = [&] {
        for (int l = 0; l < L; ++l)
            if (which[l] != count) kernel.save(l, records[which[l]]);
    };
    for (int l = 0; l < L; ++l) fill(l);
    if (active == 0) return true;
    typename BlaKernel<V, U>::Regs regs;
    kernel.init(regs);
    kernel.load(regs);
    uint64_t next_check = std::min(kCheckSteps, budget.max_steps);
    for (uint64_t k = 0;;) {
        const unsigned events = kernel.step(regs);
        if (events != 0) [[unlikely]] {
            kernel.store(regs);
            for (unsigned e = events; e != 0; e &= e - 1) {
                const int l = std::countr_zero(e);
                if (which[l] == count) {
                    kernel.park(l);  // an empty lane that strayed
                    continue;
                }
                uint32_t n = 0;
                if (!kernel.ends(l, n, k)) continue;
                Orbit& o = records[which[l]];
                kernel.save_final(l, o);
                o.n = n;
                o.done = true;
                --active;
                fill(l);
            }
            if (active == 0) return true;
            if (budget.wanted != nullptr && budget.wanted->done) {
                write_back();
                return false;
            }
            kernel.load(regs);
        }
        ++k;
        if (k >= next_check) [[unlikely]] {
            if (k >= budget.max_steps || budget.time_over()) {
                kernel.store(regs);
                write_back();
                return false;
            }
            next_check = std::min(k + kCheckSteps, budget.max_steps);
        }
    }
}

}  // namespace quorvel::perturbation_bla_ext_lanes
