// Feeds arbitrary bytes to qv_load on a live context: nothing may crash, and a
// failed load must leave a usable context.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "quorvel.h"

namespace {

qv_handle context() {
    static qv_handle h = [] {
        qv_handle c = qv_create_context(32);
        qv_set_image_properties(c, 32, 24, 1, -1.0f);
        return c;
    }();
    return h;
}

// The input as a file the loader can open by name, without touching disk.
int input_fd() {
    static int fd = memfd_create("history", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = input_fd();
    if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
    if (size != 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    qv_handle h = context();
    if (qv_load(h, path)) {
        // Whatever was accepted must be usable: show it and step through it.
        // Pictures are only drawn while small, since a file may rightly ask for
        // views of a gigabyte.
        do {
            if (int64_t(qv_get_image_width(h)) * qv_get_image_height(h) <= 65536)
                qv_get_rgb_image(h);
        } while (qv_history_back(h));
        // Back to a small history so the next input starts from the same state.
        qv_reset_context(h);
        qv_set_image_properties(h, 32, 24, 1, -1.0f);
    } else {
        qv_get_rgb_image(h);
    }
    return 0;
}
