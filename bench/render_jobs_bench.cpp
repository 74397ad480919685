// quorvel-render --jobs 2 against --jobs 1, in one run: a 60-frame zoom movie
// into view B (300x300 frames) and one 2400x2400 picture of view B. Each case
// runs three times and its time is the median, so one late start does not
// decide it; the jobs-2 rows carry the speed-up over the jobs-1 row before
// them. Both cores are needed: on a shared machine the figures are only
// comparable within one run.
//
// The tool is taken from the build's program directory (../bin from this
// benchmark) unless QV_RENDER_TOOL names it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr size_t kRuns = 3;

// View B of the generator benchmarks: a spiral in the seahorse valley.
const std::vector<std::string> kViewB = {
    "--centre", "-0.743643887037151", "0.131825904205330", "--radius", "1e-10", "--iterations",
    "5000"};

std::string tool_path() {
    if (const char* env = std::getenv("QV_RENDER_TOOL")) return env;
    return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin" /
            "quorvel-render")
        .string();
}

double children_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool run_tool(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int status = 0;
    const bool ok = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
                    waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return ok;
}

// Wall seconds of the jobs-1 run of each case, for the speed-up of jobs 2.
std::map<int, double>& one_job_seconds() {
    static std::map<int, double> seconds;
    return seconds;
}

// range(0): 0 the movie, 1 the big picture; range(1): the number of jobs.
void BM_Jobs(benchmark::State& state) {
    const int what = static_cast<int>(state.range(0));
    const int jobs = static_cast<int>(state.range(1));
    const std::string tool = tool_path();
    if (access(tool.c_str(), X_OK) != 0) {
        state.SkipWithError(("no tool at " + tool + "; build quorvel-render").c_str());
        return;
    }
    std::string pattern = (fs::temp_directory_path() / "qv-jobs-bench-XXXXXX").string();
    const fs::path dir = mkdtemp(pattern.data());
    std::vector<std::string> args = {tool};
    args.insert(args.end(), kViewB.begin(), kViewB.end());
    if (what == 0) {
        args.insert(args.end(), {"--size", "300x300", "--zoom-frames", "60", "--out",
                                 (dir / "%05d.png").string()});
    } else {
        args.insert(args.end(), {"--size", "2400x2400", "--out", (dir / "big.png").string()});
    }
    args.insert(args.end(), {"--jobs", std::to_string(jobs)});
    const double cpu_before = children_cpu_seconds();
    double seconds = 0;
    for (auto _ : state) {
        std::vector<double> runs;
        for (size_t run = 0; run < kRuns; ++run) {
            // An empty folder each time: a movie skips the frames it finds.
            for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
            const auto start = std::chrono::steady_clock::now();
            if (!run_tool(args)) break;
            runs.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        if (runs.size() != kRuns) {
            state.SkipWithError("quorvel-render failed");
            break;
        }
        std::sort(runs.begin(), runs.end());
        seconds = runs[kRuns / 2];
        state.SetIterationTime(seconds);
    }
    fs::remove_all(dir);
    // The workers' CPU seconds reach us through the tool, which waits for
    // them. CPU over wall time is the number of cores the run really got: on
    // a shared machine, the reason a speed-up falls short.
    const double cpu = (children_cpu_seconds() - cpu_before) / kRuns;
    state.counters["cpu_s"] = cpu;
    if (seconds > 0) state.counters["cores_used"] = cpu / seconds;
    if (jobs == 1) one_job_seconds()[what] = seconds;
    if (jobs > 1 && one_job_seconds().count(what) != 0 && seconds > 0)
        state.counters["speedup"] = one_job_seconds()[what] / seconds;
}

}  // namespace

BENCHMARK(BM_Jobs)
    ->ArgNames({"big_picture", "jobs"})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
