#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quorvel::common {
namespace {

// The newest temporary file still pending, for signal handlers (which may
// only unlink it). One is enough: the programs write one file at a time.
char g_pending[4096];

void set_pending(const std::string& path) {
    if (path.size() < sizeof g_pending) {
        std::memcpy(g_pending, path.c_str(), path.size() + 1);
    } else {
        g_pending[0] = '\0';
    }
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Makes the rename itself durable; a folder that cannot be synced (some file
// systems refuse) still holds the renamed file, so failure is not reported.
void sync_folder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// A new, unique file in `folder`, made with mode 0666 so the umask applies
// without the process-wide umask being touched (the library uses this too).
int create_temporary(const std::string& folder, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char number[16];
        std::snprintf(number, sizeof number, "%u", ++counter);
        name = temporary_file_prefix(folder, static_cast<long>(getpid())) + number;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The file a replacement is written to: a symbolic link is followed, so the
// link survives. Only a regular file is ever replaced, and a write-protected
// one is one the user wants kept.
bool resolve_target(const std::string& path, std::string& target, struct stat& existing,
                    bool& exists, std::string& error) {
    target = path;
    exists = false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return true;  // a new file, or a folder that is not
    if (S_ISLNK(st.st_mode)) {
        char* real = realpath(path.c_str(), nullptr);
        if (real == nullptr) {
            error = quoted(path) + " is a link to nowhere";
            return false;
        }
        target = real;
        std::free(real);
        if (stat(target.c_str(), &st) != 0) {
            error = "cannot read " + quoted(target) + ": " + std::strerror(errno);
            return false;
        }
    }
    if (S_ISDIR(st.st_mode)) {
        error = quoted(path) + " is a folder";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = quoted(path) + " is not a regular file";
        return false;
    }
    if (access(target.c_str(), W_OK) != 0) {
        error = quoted(path) + " is not writable";
        return false;
    }
    existing = st;
    exists = true;
    return true;
}

}  // namespace

// snprintf, not std::to_string: the library must not export libstdc++'s
// unique digit tables.
std::string temporary_file_prefix(const std::string& folder, long pid) {
    char middle[32];
    std::snprintf(middle, sizeof middle, "/.quorvel-%ld-", pid);
    return folder + middle;
}

std::string temporary_file_folder(const std::string& path) {
    std::string target, ignored;
    struct stat existing {};
    bool exists = false;
    resolve_target(path, target, existing, exists, ignored);
    return folder_of(target);
}

void remove_pending_temporary_file() {
    if (g_pending[0] != '\0') unlink(g_pending);
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temp_path_.empty()) {
        unlink(temp_path_.c_str());
        temp_path_.clear();
        g_pending[0] = '\0';
    }
}

bool AtomicFile::open(const std::string& path, std::string& error) {
    discard();
    std::string target;
    struct stat existing {};
    bool exists = false;
    if (!resolve_target(path, target, existing, exists, error)) return false;
    const std::string folder = folder_of(target);
    std::string name;
    const int fd = create_temporary(folder, name);
    if (fd < 0) {
        error = "cannot write into folder " + quoted(folder) + ": " + std::strerror(errno);
        return false;
    }
    fd_ = fd;
    temp_path_ = name;
    path_ = target;
    set_pending(temp_path_);
    // A replaced file keeps its permissions; a new one got the usual ones.
    if (exists) fchmod(fd_, existing.st_mode & 07777);
    return true;
}

bool AtomicFile::write(const void* data, std::size_t size, std::string& error) {
    if (fd_ < 0) {
        error = "no file open";
        return false;
    }
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "writing " + quoted(path_) +
                    " failed: " + (n < 0 ? std::strerror(errno) : "nothing written");
            discard();
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool AtomicFile::commit(std::string& error) {
    if (fd_ < 0) {
        error = "no file open";
        return false;
    }
    int failure = fsync(fd_) == 0 ? 0 : errno;
    if (close(fd_) != 0 && failure == 0) failure = errno;
    fd_ = -1;
    if (failure != 0) {
        error = "writing " + quoted(path_) + " failed: " + std::strerror(failure);
        discard();
        return false;
    }
    if (std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        error = "cannot replace " + quoted(path_) + ": " + std::strerror(errno);
        discard();
        return false;
    }
    temp_path_.clear();
    g_pending[0] = '\0';
    sync_folder(folder_of(path_));
    return true;
}

bool replace_file(const std::string& path, const void* data, std::size_t size, std::string& error) {
    AtomicFile file;
    return file.open(path, error) && file.write(data, size, error) && file.commit(error);
}

}  // namespace quorvel::common
