#include "workers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "image_file.h"

namespace quorvel::render {
namespace {

// Interrupts held back while a child is forked and registered, so the handler
// never misses a worker nor kills a sibling from inside a new child.
class BlockedInterrupts {
public:
    BlockedInterrupts() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~BlockedInterrupts() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    BlockedInterrupts(const BlockedInterrupts&) = delete;
    BlockedInterrupts& operator=(const BlockedInterrupts&) = delete;

private:
    sigset_t old_;
};

std::string describe_end(int status) {
    if (WIFSIGNALED(status)) {
        const int s = WTERMSIG(status);
        return "was killed by signal " + std::to_string(s) + " (" + strsignal(s) + ")";
    }
    return "ended with status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

std::string run_workers(const std::vector<int>& tasks, int jobs, const WorkerTasks& how) {
    std::map<pid_t, int> running;  // pid -> task
    std::string failure;
    size_t next = 0;
    std::fflush(nullptr);  // a child must not repeat buffered output
    while (true) {
        while (failure.empty() && next < tasks.size() && static_cast<int>(running.size()) < jobs) {
            const int task = tasks[next++];
            pid_t pid;
            {
                BlockedInterrupts blocked;
                pid = fork();
                if (pid == 0) {
                    forget_workers();
                }
                if (pid > 0) register_worker(pid);
            }
            if (pid == 0) _exit(how.work(task));
            if (pid < 0) {
                failure = std::string("cannot start a worker: ") + std::strerror(errno);
                break;
            }
            running.emplace(pid, task);
        }
        if (running.empty()) break;
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            failure = std::string("waiting for the workers failed: ") + std::strerror(errno);
            break;
        }
        const auto found = running.find(pid);
        if (found == running.end()) continue;
        const int task = found->second;
        running.erase(found);
        unregister_worker(pid);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            how.finished(task);
            continue;
        }
        how.died(task, static_cast<long>(pid));
        if (failure.empty()) {
            failure = std::string("the worker for ") + how.noun + " " + std::to_string(task) +
                      " (process " + std::to_string(pid) + ") " + describe_end(status);
        }
    }
    return failure;
}

}  // namespace quorvel::render
