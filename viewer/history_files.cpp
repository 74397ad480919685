#include "history_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "regular_file.h"

namespace quorvel::viewer {
namespace {

constexpr char kMagic[] = "quorvel\n";
constexpr std::size_t kMagicSize = sizeof kMagic - 1;

}  // namespace

std::optional<std::string> history_file_problem(const std::string& path) {
    std::string problem;
    const int fd = common::open_regular_file(path, problem);
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
