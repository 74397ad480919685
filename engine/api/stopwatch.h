// Stopwatch: elapsed seconds on a monotonic clock; times every slice, walk cap,
// re-render limit and palette-cycling step.
#pragma once

#include <chrono>

namespace quorvel {

class Stopwatch {
public:
    Stopwatch() { start(); }
    void start() { mark_ = clock::now(); }
    void restart_timer() { mark_ = clock::now(); }
    double elapsed() const { return std::chrono::duration<double>(clock::now() - mark_).count(); }
    // Elapsed seconds, then restart from now.
    double lap() {
        const auto now = clock::now();
        const double seconds = std::chrono::duration<double>(now - mark_).count();
        mark_ = now;
        return seconds;
    }

private:
    using clock = std::chrono::steady_clock;
    clock::time_point mark_;
};

}  // namespace quorvel
