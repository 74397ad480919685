// Stopwatch: elapsed seconds on a monotonic clock; times every slice, walk cap,
// re-render limit and palette-cycling step.
#pragma once

#include <chrono>

namespace quorvel {

// A clock that moves only when told to. Given to a Stopwatch, it lets the rules
// that depend on elapsed time be checked without waiting.
class ManualClock {
public:
    using time_point = std::chrono::steady_clock::time_point;

    time_point now() const { return now_; }
    void advance(std::chrono::nanoseconds step) { now_ += step; }

private:
    time_point now_{};
};

class Stopwatch {
public:
    Stopwatch() { start(); }
    // Reads `clock` instead of the steady clock; null goes back to the steady
    // clock. The clock must outlive the stopwatch or the next call here.
    explicit Stopwatch(const ManualClock* clock) : manual_(clock) { start(); }
    void use_clock(const ManualClock* clock) {
        manual_ = clock;
        start();
    }

    void start() { mark_ = now(); }
    void restart_timer() { mark_ = now(); }
    double elapsed() const { return std::chrono::duration<double>(now() - mark_).count(); }
    // Elapsed seconds, then restart from now.
    double lap() {
        const auto time = now();
        const double seconds = std::chrono::duration<double>(time - mark_).count();
        mark_ = time;
        return seconds;
    }

private:
    using clock = std::chrono::steady_clock;
    clock::time_point now() const { return manual_ ? manual_->now() : clock::now(); }

    clock::time_point mark_;
    const ManualClock* manual_ = nullptr;
};

}  // namespace quorvel
