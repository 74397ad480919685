// Files and folders for the viewer's tests.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/test_support.h"

namespace test {

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

using qvtest::TempDir;

// A FIFO holding `bytes` (under 64 KiB), kept open for writing by the returned
// descriptor: a reader that opens it anyway gets the bytes rather than
// waiting, so a missing refusal fails a test instead of hanging it.
inline int filled_fifo(const std::string& path, const std::string& bytes) {
    if (::mkfifo(path.c_str(), 0600) != 0) return -1;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 && ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace test
