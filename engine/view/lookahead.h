// Lookahead: pixels iterated ahead of the pixel query, in batches that keep
// every SIMD lane busy. Holds the list of pixels waiting, the orbit state of
// those a budget interrupted, and the counts (and smooth fractions) of those
// done, which wait aside (not marked computed) until the pixel query takes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "bigfloat/orbit_batch.h"
#include "storage/count_plane.h"
#include "storage/zeroed_bytes.h"

namespace quorvel {

class Lookahead {
public:
    enum State : uint8_t { kNone = 0, kQueued = 1, kReady = 2 };

    // Sizes the per-pixel state for a grid of `pixels`, all kNone, whose
    // counts reach at most `largest_count` (the view's limit).
    Lookahead(size_t pixels, uint32_t largest_count)
        : pixels_(pixels), state_(pixels), count_(pixels, largest_count) {}

    // A ready pixel: its count and its fraction code (0: none).
    struct Result {
        uint32_t count;
        float fraction;
    };

    State state(size_t i) const { return static_cast<State>(state_.data()[i]); }
    // Lists pixel i (state kNone) for iteration, starting from the given orbit.
    void queue(size_t i, const Orbit& start) {
        state_.data()[i] = kQueued;
        pending_.push_back(static_cast<uint32_t>(i));
        orbits_.push_back(start);
    }
    // Pixel i (state kNone), finished by the caller: ready with count n.
    void settle(size_t i, uint32_t n, float fraction = 0.0f) {
        state_.data()[i] = kReady;
        count_.set(i, n);
        set_fraction(i, fraction);
        ++ready_;
    }
    // Unlists all but the `keep` most recently listed pixels; their orbit
    // state is lost and they go back to kNone.
    void keep_recent(size_t keep) {
        if (pending_.size() <= keep) return;
        const size_t drop = pending_.size() - keep;
        for (size_t k = 0; k < drop; ++k)
            if (state_.data()[pending_[k]] == kQueued) state_.data()[pending_[k]] = kNone;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(drop));
        orbits_.erase(orbits_.begin(), orbits_.begin() + static_cast<std::ptrdiff_t>(drop));
        big_orbit_ = BigOrbit{};
    }
    // The count of a ready pixel, which stays ready.
    uint32_t peek(size_t i) const { return count_.get(i); }
    // The result of a ready pixel, which goes back to kNone.
    Result take(size_t i) {
        state_.data()[i] = kNone;
        --ready_;
        return {count_.get(i), fraction_.empty() ? 0.0f : fractions()[i]};
    }
    // How many pixels are ready and not taken.
    uint32_t ready_count() const { return ready_; }
    // A queued pixel the caller computed itself: its result here is dropped.
    void forget(size_t i) { state_.data()[i] = kNone; }
    bool idle() const { return pending_.empty(); }
    // Room for `n` listed pixels at once: lists that grow step by step to a
    // large batch touch about twice its memory.
    void reserve(size_t n) {
        pending_.reserve(n);
        orbits_.reserve(n);
    }
    // How many pixels are listed and not done.
    size_t listed_count() const { return pending_.size(); }
    // Bytes held: the per-pixel state of the grid, and the lists.
    uint64_t memory_size() const {
        return state_.size() + count_.byte_size() + fraction_.size() +
               (pending_.capacity() + log_.capacity()) * sizeof(uint32_t) +
               orbits_.capacity() * sizeof(Orbit);
    }

    // When on, the pixels collect() makes ready are noted, in order, until
    // taken.
    void set_logging(bool on) { logging_ = on; }
    // The pixels noted since the last call, which clears the note.
    void take_log(std::vector<uint32_t>& out) {
        out.swap(log_);
        log_.clear();
    }

    // The waiting pixels (grid indices) and their records, in the same order,
    // for the batch kernel of the view's kind; the 192-bit kernel runs them one
    // at a time with big_orbit() as the record of the first.
    std::vector<uint32_t>& pending() { return pending_; }
    std::vector<Orbit>& orbits() { return orbits_; }
    BigOrbit& big_orbit() { return big_orbit_; }

    // Moves records marked done, from index `from` on, out of the lists,
    // making their pixels ready with their count and the fraction code
    // fraction_of(record, pixel); returns how many were still wanted.
    template <class FractionOf>
    uint32_t collect(FractionOf&& fraction_of, size_t from = 0) {
        // The plane is as wide as the view's limit needs from the start, so
        // the sweep stores at its width; a larger count widens it, and the
        // sweep goes on with the wider plane.
        bool widened = false;
        const uint32_t finished = count_.visit([&](auto* counts) {
            using Count = std::remove_pointer_t<decltype(counts)>;
            constexpr uint32_t largest = static_cast<Count>(~Count{0});
            return sweep(from, [&](uint32_t i, const Orbit& o) {
                state_.data()[i] = kReady;
                ++ready_;
                set_fraction(i, fraction_of(o, i));
                if (o.n <= largest) [[likely]] {
                    counts[i] = static_cast<Count>(o.n);
                    return true;
                }
                count_.set(i, o.n);
                widened = true;
                return false;
            });
        });
        return widened ? finished + collect(fraction_of, from) : finished;
    }

    // Moves records marked done out of the lists as collect() does, but
    // hands each pixel still wanted to done(pixel, record) instead of keeping
    // it ready aside; the pixel goes back to kNone. Returns how many there were.
    template <class Done>
    uint32_t drain(Done&& done) {
        return sweep(0, [&](uint32_t i, const Orbit& o) {
            state_.data()[i] = kNone;
            done(static_cast<size_t>(i), o);
            return true;
        });
    }

private:
    // Moves records marked done, from index `from` on, out of the lists,
    // handing each pixel still wanted to finish(pixel, record); one that
    // returns false ends the sweep there, the records after it staying
    // listed in order. Returns how many pixels were handed.
    template <class Finish>
    uint32_t sweep(size_t from, Finish&& finish) {
        uint32_t finished = 0;
        size_t kept = from, k = from;
        while (k < pending_.size()) {
            const uint32_t i = pending_[k];
            const Orbit& o = orbits_[k++];
            if (waits(o, i)) {
                pending_[kept] = i;
                orbits_[kept] = o;
                ++kept;
                continue;
            }
            if (state_.data()[i] != kQueued) continue;  // taken by the caller meanwhile
            if (logging_) log_.push_back(i);
            ++finished;
            if (!finish(i, o)) break;
        }
        pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(kept),
                       pending_.begin() + static_cast<std::ptrdiff_t>(k));
        orbits_.erase(orbits_.begin() + static_cast<std::ptrdiff_t>(kept),
                      orbits_.begin() + static_cast<std::ptrdiff_t>(k));
        return finished;
    }
    // The record stays listed: not done, or done with count 0 and so still
    // waiting for its kernel (a perturbed pixel that needs another
    // reference), unless its pixel was taken meanwhile.
    bool waits(const Orbit& o, uint32_t i) const {
        return !o.done || (o.n == 0 && state_.data()[i] == kQueued);
    }
    // Fractions take memory only once a pixel has one.
    void set_fraction(size_t i, float fraction) {
        if (fraction == 0.0f && fraction_.empty()) return;
        if (fraction_.empty()) fraction_ = ZeroedBytes(pixels_ * sizeof(float));
        fractions()[i] = fraction;
    }
    float* fractions() { return reinterpret_cast<float*>(fraction_.data()); }

    // Zeroed pages: a grid's arrays become resident only where pixels are
    // listed, which on large grids is a small part of them.
    size_t pixels_;
    ZeroedBytes state_;
    CountPlane count_;      // of ready pixels
    ZeroedBytes fraction_;  // float per pixel, once a pixel has a fraction
    std::vector<uint32_t> pending_;
    std::vector<Orbit> orbits_;
    BigOrbit big_orbit_;
    std::vector<uint32_t> log_;
    bool logging_ = false;
    uint32_t ready_ = 0;
};

}  // namespace quorvel
