#include "regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvel::common {

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

}  // namespace quorvel::common
