#include "history_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvel::viewer {
namespace {

constexpr char kMagic[] = "quorvel\n";
constexpr std::size_t kMagicSize = sizeof kMagic - 1;

}  // namespace

int open_regular_file(const std::string& path, std::string& problem) {
    // Non-blocking, so that opening a FIFO does not wait for a writer; the
    // type is checked on the descriptor, so it cannot change in between.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = errno == ENOENT ? "it is missing"
                  : errno == EACCES
                      ? "it is not readable"
                      : std::string("it cannot be opened (") + std::strerror(errno) + ")";
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = std::string("it cannot be opened (") + std::strerror(errno) + ")";
        if (fstat(fd, &info) == 0)
            problem = S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file";
        close(fd);
        return -1;
    }
    // Reads of a regular file never block; clear the flag all the same.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<std::string> history_file_problem(const std::string& path) {
    std::string problem;
    const int fd = open_regular_file(path, problem);
    if (fd < 0) return problem;
    char head[kMagicSize];
    std::size_t got = 0;
    while (got < kMagicSize) {
        const ssize_t n = ::read(fd, head + got, kMagicSize - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    if (got != kMagicSize || std::memcmp(head, kMagic, kMagicSize) != 0)
        return "it is not a history file (wrong first line)";
    return std::nullopt;
}

}  // namespace quorvel::viewer
