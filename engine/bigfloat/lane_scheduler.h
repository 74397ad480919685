// Internal: the lane technique of the batch kernels on W-lane vectors (the
// double kernel in bigfloat/orbit_lanes.h, perturbation in
// deep/perturbation_lanes.h). Lanes are fed from a queue of Orbit records; one
// step counter serves all lanes, and each lane remembers the step at which it
// was loaded, its count then, and the step at which it reaches the limit. A
// lane whose pixel ends is refilled at once from the queue. The budget is
// looked at every kCheckSteps steps; a pause writes the lanes in flight back.
//
// Every template here depends on the kernel type, which each instruction set's
// source file defines in an anonymous namespace after its target pragma, so
// nothing compiled for one instruction set is shared with another.
//
// A kernel K provides:
//   L            the number of lanes;
//   kStopOffset  the limit ends a pixel after the test at step s once
//                base + (s - start) + kStopOffset >= max_iterations;
//   Regs         what the step keeps in registers, constants included;
//   park(l)      empties lane l: it never ends by itself;
//   load_lane(l, record), save_lane(l, record): lane l from and to a record
//                (the count aside, which the scheduler keeps);
//   init(regs) once, then load(regs) / store(regs): every lane to and from
//                the registers;
//   step(regs)   one step of every lane: a bit mask of the lanes with an event;
//   ends(l, event, at_limit, n, count): after store(regs), whether the pixel
//                of lane l ended at this step, n being base + (s - start); if
//                so, count is its final count.
// A kernel that detects cycles (kDetectsCycles) also provides:
//   kCycleEvery  steps between two looks for repeats, and
//   kRememberEvery steps between two chances for lanes to remember their
//                state (a lane's first comes at the latest this many steps
//                after it is filled); powers of two, as large as detection
//                allows, since each look stores and loads every lane;
//   repeats()    after store(regs): the lanes whose state equals the one they
//                remember;
//   remember(l)  after store(regs): lane l remembers its present state.
// Its load_lane and save_lane carry the remembered state too. The scheduler
// looks for repeats every kCycleEvery steps and remembers a lane's state at
// counts that about double each time (Brent's scheme), so a cycle of period p
// is seen once the lane remembered a state on it and lcm(p, kCycleEvery) more
// steps ran. A lane that repeats ends as at its limit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "bigfloat/orbit_batch.h"

namespace quorvel::lane_scheduler {

// Steps between two looks at the budget (each step advances every lane).
constexpr uint64_t kCheckSteps = 1024;
// The count at which a lane first remembers its state, at most: half the
// limit below. Most escaping pixels end before and never pay for it.
constexpr uint32_t kFirstMark = 4096;

template <class K>
concept DetectsCycles = K::kDetectsCycles;
// The stop of an empty lane.
constexpr uint64_t kParked = UINT64_MAX;

// Which record each lane holds, and the queue the lanes are filled from.
template <class K>
class LaneBook {
public:
    LaneBook(K& kernel, uint32_t max_iterations, Orbit* records, size_t count)
        : kernel_(kernel),
          max_iterations_(max_iterations),
          records_(records),
          count_(count),
          first_mark_(max_iterations / 2 < kFirstMark ? max_iterations / 2 : kFirstMark) {
        if constexpr (DetectsCycles<K>)
            watch_cycles_ = first_mark_ + K::kCycleEvery < max_iterations;
    }

    // Below this limit every pixel reaches it before a look could find its
    // repeat (a lane first remembers a state at first_mark, the look comes
    // kCycleEvery steps later), and its count is the same either way: lanes
    // then neither remember states nor look for repeats.
    bool watch_cycles() const { return watch_cycles_; }

    int active() const { return active_; }
    uint64_t stop(int l) const { return stop_[l]; }
    // The count of lane l's pixel before step `at`.
    uint64_t count_at(int l, uint64_t at) const { return base_[l] + (at - start_[l]); }

    // Loads the next pending record into lane l, to run from step `at`.
    void fill(int l, uint64_t at) {
        while (cursor_ < count_ && records_[cursor_].done) ++cursor_;
        if (cursor_ == count_) {
            kernel_.park(l);
            stop_[l] = kParked;
            which_[l] = count_;
            seeing_ &= ~(1u << l);
            return;
        }
        const Orbit& o = records_[cursor_];
        kernel_.load_lane(l, o);
        base_[l] = o.n;
        start_[l] = at;
        constexpr uint64_t offset = K::kStopOffset;
        stop_[l] = at + (max_iterations_ > o.n + offset ? max_iterations_ - o.n - offset : 0);
        which_[l] = cursor_++;
        ++active_;
        if constexpr (DetectsCycles<K>) {
            seen_n_[l] = o.seen_n;
            if (!watch_cycles_) return;
            // As the kernel's load_lane: a state seen at the present count
            // is no earlier state.
            const bool seeing = o.seen_n != 0 && o.seen_n < o.n;
            seeing_ = (seeing_ & ~(1u << l)) | (static_cast<unsigned>(seeing) << l);
            const uint64_t mark = o.seen_n == 0 ? first_mark_ : CycleWatch::next_mark(o.seen_n);
            mark_[l] = at + (mark > o.n ? mark - o.n : 0);
            if (mark_[l] < next_mark_) next_mark_ = mark_[l];
        }
    }
    void finish(int l, uint32_t n) {
        Orbit& o = records_[which_[l]];
        // Kernels that can, leave the pixel's final z for its smooth fraction.
        if constexpr (requires { kernel_.save_final(l, o); }) kernel_.save_final(l, o);
        o.n = n;
        o.done = true;
        --active_;
        seeing_ &= ~(1u << l);
    }
    // Leaves the pixels in flight resumable, as they stand before step `at`.
    void write_back(uint64_t at) {
        for (int l = 0; l < K::L; ++l) {
            if (stop_[l] == kParked) continue;
            Orbit& o = records_[which_[l]];
            kernel_.save_lane(l, o);
            o.n = static_cast<uint32_t>(count_at(l, at));
            if constexpr (DetectsCycles<K>) o.seen_n = seen_n_[l];
        }
    }
    // The count lane l's pixel gets at its limit.
    uint32_t count_at_limit(int l) {
        uint32_t count = 0;
        kernel_.ends(l, false, true, count_at(l, stop_[l]), count);
        return count;
    }
    // The earliest step at which a lane is due to remember its state.
    uint64_t next_mark() const { return next_mark_; }
    // The first step from `from` on before which a look for repeats can
    // find one or a lane is due to remember its state.
    uint64_t next_look(uint64_t from) const {
        const auto round_up = [](uint64_t k, uint64_t every) {
            return (k + every - 1) & ~(every - 1);
        };
        uint64_t at = seeing_ != 0 ? round_up(from, K::kCycleEvery) : kParked;
        if (next_mark_ != kParked) {
            const uint64_t remember =
                round_up(next_mark_ > from ? next_mark_ : from, K::kRememberEvery);
            at = remember < at ? remember : at;
        }
        return at;
    }
    // After store(regs) before step `at`: the lanes due remember their state.
    void remember_due(uint64_t at) {
        next_mark_ = kParked;
        for (int l = 0; l < K::L; ++l) {
            if (stop_[l] == kParked) continue;
            if (mark_[l] <= at) {
                const uint64_t n = count_at(l, at);
                kernel_.remember(l);
                seeing_ |= 1u << l;
                seen_n_[l] = static_cast<uint32_t>(n);
                mark_[l] = at + (CycleWatch::next_mark(seen_n_[l]) - n);
            }
            if (mark_[l] < next_mark_) next_mark_ = mark_[l];
        }
    }
    uint64_t earliest_stop() const {
        uint64_t s = kParked;
        for (int l = 0; l < K::L; ++l) s = stop_[l] < s ? stop_[l] : s;
        return s;
    }

private:
    K& kernel_;
    const uint32_t max_iterations_;
    Orbit* const records_;
    const size_t count_;
    uint64_t start_[K::L], stop_[K::L];
    uint32_t base_[K::L];
    size_t which_[K::L];
    size_t cursor_ = 0;
    int active_ = 0;
    // Cycle detection: the count at which each lane last remembered its
    // state, and the step at which it does next.
    uint32_t seen_n_[K::L];
    uint64_t mark_[K::L];
    uint64_t next_mark_ = kParked;
    unsigned seeing_ = 0;  // the lanes that remember a state
    const uint32_t first_mark_;
    bool watch_cycles_ = false;
};

// After step k: ends the pixels of the lanes with an event or at their limit
// and refills those lanes. Returns the earliest stop to watch for next; a
// later one than the true earliest would miss a limit, an earlier one only
// costs a needless visit here.
template <class K>
uint64_t retire(K& kernel, LaneBook<K>& book, unsigned events, uint64_t k, uint64_t next_stop) {
    unsigned ended = events;
    if (k == next_stop)
        for (int l = 0; l < K::L; ++l) ended |= static_cast<unsigned>(book.stop(l) == k) << l;
    // Only the lanes that ended are visited, in lane order.
    while (ended != 0) {
        const int l = std::countr_zero(ended);
        ended &= ended - 1;
        if (book.stop(l) == kParked) {
            kernel.park(l);  // an empty lane that strayed: empty it again
            continue;
        }
        uint32_t count = 0;
        if (!kernel.ends(l, (events >> l) & 1u, book.stop(l) == k, book.count_at(l, k), count))
            continue;
        book.finish(l, count);
        book.fill(l, k + 1);
        if (book.stop(l) < next_stop) next_stop = book.stop(l);
    }
    // A lane at its limit had the earliest stop; the next one is found anew.
    return k == next_stop ? book.earliest_stop() : next_stop;
}

// Before step k: ends the pixels of the lanes whose state repeated, as at
// their limit, refills those lanes, and lets the lanes due remember their
// state. Returns the earliest stop to watch for next.
template <class K>
uint64_t retire_cycles(LaneBook<K>& book, unsigned repeated, uint64_t k, uint64_t next_stop) {
    while (repeated != 0) {
        const int l = std::countr_zero(repeated);
        repeated &= repeated - 1;
        if (book.stop(l) == kParked) continue;
        book.finish(l, book.count_at_limit(l));
        book.fill(l, k);
        if (book.stop(l) < next_stop) next_stop = book.stop(l);
    }
    if ((k & (K::kRememberEvery - 1)) == 0 && book.next_mark() <= k) book.remember_due(k);
    return next_stop;
}

enum class CycleCheck { go_on, all_done, paused };

// Before step k, after store(regs): the lanes whose state repeated end, the
// lanes due remember their state. Out of line: it is rare, and works on the
// stored lanes; the caller loads the registers again.
template <class K>
[[gnu::noinline]] CycleCheck check_cycles(K& kernel, LaneBook<K>& book, uint64_t k,
                                          uint64_t& next_stop, const Budget& budget) {
    const unsigned repeated = kernel.repeats();
    if (repeated == 0 && ((k & (K::kRememberEvery - 1)) != 0 || book.next_mark() > k))
        return CycleCheck::go_on;
    next_stop = retire_cycles(book, repeated, k, next_stop);
    if (book.active() == 0) return CycleCheck::all_done;
    if (budget.wanted != nullptr && budget.wanted->done) {
        book.write_back(k);
        return CycleCheck::paused;
    }
    return CycleCheck::go_on;
}

// Runs records[0 .. count) on the kernel's lanes under the batch contract of
// bigfloat/orbit_batch.h; true when every record is done.
template <class K>
bool run(K& kernel, uint32_t max_iterations, Orbit* records, size_t count, const Budget& budget) {
    LaneBook<K> book(kernel, max_iterations, records, count);
    for (int l = 0; l < K::L; ++l) book.fill(l, 0);
    if (book.active() == 0) return true;
    uint64_t next_stop = book.earliest_stop();
    const uint64_t step_cap = budget.max_steps;
    uint64_t next_check = kCheckSteps < step_cap ? kCheckSteps : step_cap;
    // For a kernel that detects cycles: the step before which repeats are
    // looked for next. The look shares the rare path of the step's events
    // (one place that stores and loads the registers keeps the step's
    // register use as it is), visited after step next_visit.
    uint64_t next_cycle = kParked;
    const bool watch_cycles = book.watch_cycles();
    if constexpr (DetectsCycles<K>)
        if (watch_cycles) next_cycle = book.next_look(1);
    uint64_t next_visit = next_stop < next_cycle - 1 ? next_stop : next_cycle - 1;

    // Kept in registers: only inlined hooks see them.
    typename K::Regs regs;
    kernel.init(regs);
    kernel.load(regs);
    for (uint64_t k = 0;;) {
        const unsigned events = kernel.step(regs);
        if (events != 0 || k == next_visit) [[unlikely]] {
            kernel.store(regs);
            next_stop = retire(kernel, book, events, k, next_stop);
            if (book.active() == 0) return true;
            if (budget.wanted != nullptr && budget.wanted->done) {
                book.write_back(k + 1);
                return false;
            }
            if constexpr (DetectsCycles<K>) {
                if (watch_cycles && k + 1 == next_cycle) {
                    const CycleCheck result = check_cycles(kernel, book, k + 1, next_stop, budget);
                    if (result != CycleCheck::go_on) return result == CycleCheck::all_done;
                }
                if (watch_cycles) next_cycle = book.next_look(k + 2);
            }
            next_visit = next_stop < next_cycle - 1 ? next_stop : next_cycle - 1;
            kernel.load(regs);
        }
        ++k;
        if (k >= next_check) [[unlikely]] {
            if (k >= step_cap || budget.time_over()) {
                kernel.store(regs);
                book.write_back(k);
                return false;
            }
            next_check = k + kCheckSteps < step_cap ? k + kCheckSteps : step_cap;
        }
    }
}

}  // namespace quorvel::lane_scheduler
