// Running quorvel-render from a benchmark: where the tool is, starting it with
// its output discarded, and the CPU time its processes used.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace render_bench {

// The tool in the build's program directory (../bin from the benchmark),
// unless QV_RENDER_TOOL names it.
inline std::string tool_path() {
    if (const char* env = std::getenv("QV_RENDER_TOOL")) return env;
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin" /
            "quorvel-render")
        .string();
}

// CPU seconds used so far by finished children, the tool's workers included
// (it waits for them): on a shared machine a better measure of the work done
// than the wall clock.
inline double children_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Starts args[0] with standard output and error discarded; -1 when it cannot
// be started.
inline pid_t start_tool(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for a started tool: true when it exited with status 0.
inline bool succeeded(pid_t pid) {
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace render_bench
