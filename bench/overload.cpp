// Not a Google Benchmark: 60 s of zooms, moves, history steps, loads and
// saves as fast as the interface allows on a 32 MB budget at 1920x1080 with
// supersampling 2. Prints the longest refine slice, the peak resident memory
// and whether every saved file loaded back. Usage: overload [seconds [seed]]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "quorvel.h"

namespace {

long resident_kb() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    long size = 0, resident = 0;
    if (f && std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
    if (f) std::fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The machine may be shared: a slice's processor time tells its own work
// from the waits of a busy machine.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    std::mt19937 rng(argc > 2 ? std::atoi(argv[2]) : 1);
    const std::string dir = "/tmp/qv-overload-" + std::to_string(::getpid());
    const std::string mkdir = "mkdir -p " + dir;
    if (std::system(mkdir.c_str()) != 0) return 1;
    qv_handle h = qv_create_context(32);
    qv_set_image_properties(h, 1920, 1080, 2, 1.75f);
    double longest = 0.0, longest_cpu = 0.0;
    // What the call before the longest slice was, to tell where it came from.
    const char* const kActions[] = {"zoom on point", "zoom centred", "move", "back",
                                    "forward",       "save",         "load", "image"};
    const char* before_longest = "start";
    unsigned action = 8;
    long peak = resident_kb(), slices = 0, saves = 0, bad_loads = 0, loads = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (long i = 0; Clock::now() < end; ++i) {
        const auto t0 = Clock::now();
        const double cpu0 = cpu_seconds();
        qv_refine_image(h);
        const double slice = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = cpu_seconds() - cpu0;
        longest_cpu = std::max(longest_cpu, cpu);
        if (slice > longest) {
            longest = slice;
            before_longest = action < 8 ? kActions[action] : "start";
        }
        if (std::getenv("QV_OVERLOAD_TRACE") && slice > 0.25)
            std::fprintf(stderr, "slice %ld: %.3f s (%.3f s processor) after %s\n", slices, slice,
                         cpu, action < 8 ? kActions[action] : "start");
        ++slices;
        action = rng() % 8;
        switch (action) {
            case 0:
                qv_zoom_on_window_coord(h, rng() % 1920, rng() % 1080, 4.0f);
                break;
            case 1:
                qv_zoom_centered(h, 2.0f);
                break;
            case 2:
                qv_move(h, 0.25f, -0.125f);
                break;
            case 3:
                qv_history_back(h);
                break;
            case 4:
                qv_history_forward(h);
                break;
            case 5: {
                const std::string path = dir + "/h" + std::to_string(i % 3) + ".qvh";
                if ((rng() & 1 ? qv_save_all(h, path.c_str()) : qv_save_minimum(h, path.c_str()))) {
                    ++saves;
                    // A context of its own reads the file back, and goes: the
                    // run's memory is the explorer's context.
                    qv_handle check = qv_create_context(32);
                    if (!qv_load(check, path.c_str())) ++bad_loads;
                    qv_delete_context(&check);
                }
                break;
            }
            case 6:
                ++loads;
                qv_load(h, (dir + "/h" + std::to_string(rng() % 3) + ".qvh").c_str());
                qv_set_image_properties(h, 1920, 1080, 2, 1.75f);
                break;
            default:
                qv_get_rgb_image(h);
                break;
        }
        peak = std::max(peak, resident_kb());
    }
    std::printf(
        "overload: %.0f s, %ld slices, longest %.3f s after %s (target 0.30; longest processor "
        "time %.3f s), peak resident %.1f MB (target 96), %ld saves of which %ld did not load "
        "back, %ld loads\n",
        seconds, slices, longest, before_longest, longest_cpu, peak / 1024.0, saves, bad_loads,
        loads);
    qv_delete_context(&h);
    const std::string rm = "rm -rf " + dir;
    return std::system(rm.c_str()) != 0 || bad_loads != 0;
}
