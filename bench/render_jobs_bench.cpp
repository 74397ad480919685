// quorvel-render --jobs 2 against --jobs 1, in one run: a 60-frame zoom movie
// into view B (300x300 frames) and one 2400x2400 picture of view B. Runs
// alternate between one and two jobs, five pairs a case, so that a shared
// machine whose speed drifts slows both alike; the speed-up is the median of
// the pairs' ratios, and the row's time the median two-job run. Beside each
// pair, two one-job runs side by side show the machine's own ceiling. Both
// cores are needed: the figures are only comparable within one run.
//
// The tool is taken from the build's program directory (../bin from this
// benchmark) unless QV_RENDER_TOOL names it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "render_tool.h"

namespace {

namespace fs = std::filesystem;
using namespace render_bench;

constexpr size_t kPairs = 5;

// View B of the generator benchmarks: a spiral in the seahorse valley.
const std::vector<std::string> kViewB = {
    "--centre", "-0.743643887037151", "0.131825904205330", "--radius", "1e-10", "--iterations",
    "5000"};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One case of the benchmark: the tool's arguments for a number of jobs and an
// output folder.
struct Case {
    std::string tool;
    bool movie;
    std::vector<std::string> args(const fs::path& dir, int jobs) const {
        std::vector<std::string> a = {tool};
        a.insert(a.end(), kViewB.begin(), kViewB.end());
        if (movie) {
            a.insert(a.end(), {"--size", "300x300", "--zoom-frames", "60", "--out",
                               (dir / "%05d.png").string()});
        } else {
            a.insert(a.end(), {"--size", "2400x2400", "--out", (dir / "big.png").string()});
        }
        a.insert(a.end(), {"--jobs", std::to_string(jobs)});
        return a;
    }
};

// Wall seconds of runs started together, each with `jobs` jobs into its own
// emptied folder (a movie skips the frames it finds); negative when one failed.
double timed_runs(const Case& c, const std::vector<fs::path>& dirs, int jobs) {
    for (const fs::path& dir : dirs) {
        for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> pids;
    for (const fs::path& dir : dirs) pids.push_back(start_tool(c.args(dir, jobs)));
    bool ok = true;
    for (pid_t pid : pids) ok = succeeded(pid) && ok;
    if (!ok) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

fs::path temporary_folder() {
    std::string pattern = (fs::temp_directory_path() / "qv-jobs-bench-XXXXXX").string();
    return mkdtemp(pattern.data());
}

// range(0): 0 the movie, 1 the big picture.
void BM_Jobs(benchmark::State& state) {
    const Case c{tool_path(), state.range(0) == 0};
    if (access(c.tool.c_str(), X_OK) != 0) {
        state.SkipWithError(("no tool at " + c.tool + "; build quorvel-render").c_str());
        return;
    }
    const std::vector<fs::path> dirs = {temporary_folder(), temporary_folder()};
    std::vector<double> one, two, ratio, ceiling;
    double two_jobs_cpu = 0;
    for (auto _ : state) {
        for (size_t pair = 0; pair < kPairs; ++pair) {
            const double one_job = timed_runs(c, {dirs[0]}, 1);
            const double cpu_before = children_cpu_seconds();
            const double two_jobs = timed_runs(c, {dirs[0]}, 2);
            two_jobs_cpu += children_cpu_seconds() - cpu_before;
            const double side_by_side = timed_runs(c, dirs, 1);
            if (one_job < 0 || two_jobs < 0 || side_by_side < 0) {
                state.SkipWithError("quorvel-render failed");
                break;
            }
            one.push_back(one_job);
            two.push_back(two_jobs);
            ratio.push_back(one_job / two_jobs);
            ceiling.push_back(2 * one_job / side_by_side);
        }
        if (two.size() == kPairs) state.SetIterationTime(median(two));
    }
    for (const fs::path& dir : dirs) fs::remove_all(dir);
    if (two.size() != kPairs) return;
    state.counters["one_job_s"] = median(one);
    state.counters["speedup"] = median(ratio);
    // Two one-job runs side by side: the most two cores of this machine give
    // at the time, whatever the tool does. Below 2 when the cores share.
    state.counters["ceiling"] = median(ceiling);
    // CPU over wall time is the number of cores the two-job runs really got.
    double two_jobs_wall = 0;
    for (double seconds : two) two_jobs_wall += seconds;
    state.counters["cores_used"] = two_jobs_cpu / two_jobs_wall;
}

}  // namespace

BENCHMARK(BM_Jobs)
    ->ArgName("big_picture")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
