#include "emergency.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "atomic_file.h"

namespace quorvel::viewer {
namespace {

// Fixed buffers: a signal handler may not allocate.
char g_path[4096];
char g_temp[4096 + 16];
const Places* g_places = nullptr;

bool write_all(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n <= 0) return false;  // EINTR cannot happen: signals end the process here
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void prepare_emergency_exit(const std::string& places_path, const Places* places) {
    g_places = nullptr;
    if (places_path.size() >= sizeof g_path) return;
    std::memcpy(g_path, places_path.c_str(), places_path.size() + 1);
    std::snprintf(g_temp, sizeof g_temp, "%s.sig%ld", g_path, static_cast<long>(::getpid()));
    g_places = places;
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
    ::_exit(0);
}

}  // namespace quorvel::viewer
