// What many test programs share: a scratch folder, and an escape-time loop
// written independently of the engine to check its pixels against.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qvtest {

// A fresh folder, removed with everything in it at the end. Memory-backed
// (/dev/shm) on request, for tests that write thousands of files.
class TempDir {
public:
    enum class Where { temporary, memory };

    explicit TempDir(const std::string& prefix = "qv", Where where = Where::temporary) {
        const std::filesystem::path base = where == Where::memory && ::access("/dev/shm", W_OK) == 0
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path_ / name, std::ios::binary) << bytes;
    }
    long files() const {
        return std::distance(std::filesystem::directory_iterator(path_),
                             std::filesystem::directory_iterator());
    }

private:
    std::filesystem::path path_;
};

// The step of z <- z^2 + c, from z = 0, after which |z|^2 >= 4; `limit` when
// that does not happen within limit - 1 steps. Each product is rounded on its
// own (volatile), so no compiler flag can fuse a multiply-add here.
inline uint32_t reference_escape(double cx, double cy, uint32_t limit) {
    double x = 0.0, y = 0.0;
    for (uint32_t n = 1; n < limit; ++n) {
        volatile double xx = x * x, yy = y * y, xy = x * y;
        x = (xx - yy) + cx;
        y = (xy + xy) + cy;
        volatile double x2 = x * x, y2 = y * y;
        if (x2 + y2 >= 4.0) return n;
    }
    return limit;
}

// The pixel byte of that count: 0 inside, else ((n - 1) mod 255) + 1.
inline uint8_t reference_value(double cx, double cy, uint32_t limit) {
    const uint32_t n = reference_escape(cx, cy, limit);
    return n == limit ? 0 : static_cast<uint8_t>((n - 1) % 255 + 1);
}

}  // namespace qvtest
