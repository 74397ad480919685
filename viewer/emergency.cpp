#include "emergency.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "atomic_file.h"

namespace quorvel::viewer {
namespace {

// Fixed buffers: a signal handler may not allocate.
char g_path[4096];
char g_temp[4096 + 16];
const Places* g_places = nullptr;
// The folder of the engine's save in progress, and the start of its
// temporary file's name there; empty when no save was noted.
char g_engine_folder[4096];
char g_engine_prefix[64];
volatile std::sig_atomic_t g_stop_requested = 0;

bool write_all(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n <= 0) return false;  // EINTR cannot happen: signals end the process here
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Removes this process's temporary files from the folder of the noted engine
// save. The directory is read with the system call itself: readdir may
// allocate.
void remove_engine_temporary_files() {
    if (g_engine_folder[0] == '\0') return;
    const int dir = ::open(g_engine_folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    const std::size_t prefix = std::strlen(g_engine_prefix);
    alignas(struct dirent64) char buffer[4096];
    for (ssize_t n; (n = ::getdents64(dir, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            if (std::strncmp(entry->d_name, g_engine_prefix, prefix) == 0)
                ::unlinkat(dir, entry->d_name, 0);
            at += entry->d_reclen;
        }
    }
    ::close(dir);
}

// Blocks the stop signals and the deadline while the handlers' buffers change.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t block;
        sigemptyset(&block);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) sigaddset(&block, s);
        sigprocmask(SIG_BLOCK, &block, &before_);
    }
    ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t before_;
};

void cancel_deadline() {
    struct itimerval none = {};
    setitimer(ITIMER_REAL, &none, nullptr);
}

long g_grace_microseconds = 0;

void on_signal(int) {
    if (g_stop_requested != 0) emergency_exit();
    g_stop_requested = 1;
    struct itimerval deadline = {};
    deadline.it_value.tv_sec = g_grace_microseconds / 1000000;
    deadline.it_value.tv_usec = g_grace_microseconds % 1000000;
    setitimer(ITIMER_REAL, &deadline, nullptr);
}

void on_deadline(int) { emergency_exit(); }

}  // namespace

void prepare_emergency_exit(const std::string& places_path, const Places* places) {
    SignalsBlocked blocked;
    g_places = nullptr;
    if (places_path.size() >= sizeof g_path) return;
    std::memcpy(g_path, places_path.c_str(), places_path.size() + 1);
    std::snprintf(g_temp, sizeof g_temp, "%s.sig%ld", g_path, static_cast<long>(::getpid()));
    g_places = places;
}

void note_engine_save(const std::string& target) {
    const std::string folder = common::temporary_file_folder(target);
    const std::string prefix =
        common::temporary_file_prefix(folder, static_cast<long>(::getpid())).substr(folder.size());
    SignalsBlocked blocked;
    g_engine_folder[0] = '\0';
    if (folder.size() >= sizeof g_engine_folder || prefix.size() < 2 ||
        prefix.size() > sizeof g_engine_prefix)
        return;
    std::memcpy(g_engine_prefix, prefix.c_str() + 1, prefix.size());  // without the '/'
    std::memcpy(g_engine_folder, folder.c_str(), folder.size() + 1);
}

bool write_places_from_signal() {
    if (g_places == nullptr) return false;
    const int fd = ::open(g_temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = write_all(fd, reinterpret_cast<const char*>(g_places->data()), sizeof(Places));
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(g_temp, g_path) == 0) return true;
    ::unlink(g_temp);
    return false;
}

void emergency_exit() {
    write_places_from_signal();
    common::remove_pending_temporary_file();
    remove_engine_temporary_files();
    ::_exit(0);
}

void install_stop_signals(long grace_microseconds) {
    g_grace_microseconds = grace_microseconds;
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) sigaddset(&action.sa_mask, s);
    action.sa_flags = 0;  // no SA_RESTART: a terminal dialog's read is interrupted too
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
    action.sa_handler = on_deadline;
    sigaction(SIGALRM, &action, nullptr);
}

bool stop_requested() { return g_stop_requested != 0; }

void begin_shutdown() {
    // In this order: a signal before the flag has its deadline cancelled, one
    // after it ends the process.
    g_stop_requested = 1;
    cancel_deadline();
}

}  // namespace quorvel::viewer
