#include "image_file.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace quorvel::render {
namespace {

// For the signal handler, which may only unlink and kill.
char g_pending_file[4096];
constexpr int kMaxWorkers = 1024;
volatile sig_atomic_t g_workers[kMaxWorkers];

extern "C" void remove_pending_and_exit(int signal_number) {
    for (int i = 0; i < kMaxWorkers; ++i) {
        if (g_workers[i] > 0) kill(static_cast<pid_t>(g_workers[i]), SIGTERM);
    }
    // The workers remove their own temporary files; once they are gone, so
    // is every partial file.
    for (int i = 0; i < kMaxWorkers; ++i) {
        if (g_workers[i] > 0) waitpid(static_cast<pid_t>(g_workers[i]), nullptr, 0);
    }
    common::remove_pending_temporary_file();
    if (g_pending_file[0] != '\0') unlink(g_pending_file);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

void install_interrupt_cleanup() {
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, remove_pending_and_exit);
}

void set_pending_file(const std::string& path) {
    if (path.size() < sizeof g_pending_file)
        std::memcpy(g_pending_file, path.c_str(), path.size() + 1);
}

void clear_pending_file() { g_pending_file[0] = '\0'; }

void register_worker(long pid) {
    for (int i = 0; i < kMaxWorkers; ++i) {
        if (g_workers[i] == 0) {
            g_workers[i] = static_cast<sig_atomic_t>(pid);
            return;
        }
    }
}

void unregister_worker(long pid) {
    for (int i = 0; i < kMaxWorkers; ++i) {
        if (g_workers[i] == pid) g_workers[i] = 0;
    }
}

void forget_workers() {
    for (int i = 0; i < kMaxWorkers; ++i) g_workers[i] = 0;
}

void remove_temporary_files_of(const std::string& path, long pid) {
    const std::string folder = folder_of(path);
    const std::string prefix = common::temporary_file_prefix(folder, pid).substr(folder.size() + 1);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            unlink((folder + "/" + entry->d_name).c_str());
    }
    closedir(dir);
}

}  // namespace quorvel::render
