// Worker processes: each task runs in a forked child with its own engine
// context, at most `jobs` at a time. The engine itself stays single-threaded.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quorvel::render {

struct WorkerTasks {
    const char* noun;                     // "frame" or "band", for messages
    std::function<int(int)> work;         // in the child: the task's exit status
    std::function<void(int)> finished;    // in the parent, after a task succeeded
    std::function<void(int, long)> died;  // in the parent, after a task failed (task, pid)
};

// Runs the tasks; returns an empty string when all succeeded, otherwise a
// one-line account of the first failure. After a failure no further task is
// started, but those running are allowed to finish.
std::string run_workers(const std::vector<int>& tasks, int jobs, const WorkerTasks& how);

}  // namespace quorvel::render
