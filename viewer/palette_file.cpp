#include "palette_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "regular_file.h"

namespace quorvel::viewer {

bool read_palette(const std::string& path, Palette& palette, std::string& error) {
    const int fd = common::open_regular_file(path, error);
    if (fd < 0) return false;
    Palette read = palette;
    std::size_t done = 0;
    while (done < read.size()) {
        const ssize_t n = ::read(fd, read.data() + done, read.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = std::string("it cannot be read (") + std::strerror(errno) + ")";
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (done == 0 && error.empty()) error = "it is empty";
    if (!error.empty()) return false;
    palette = read;
    return true;
}

}  // namespace quorvel::viewer
