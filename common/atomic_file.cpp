#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

}  // namespace

std::string temporary_file_prefix(const std::string& folder, long pid) {
    return folder + "/.quorvel-" + std::to_string(pid) + "-";
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
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error = quoted(path) + " is a folder";
            return false;
        }
        // A write-protected file is one the user wants kept.
        if (access(path.c_str(), W_OK) != 0) {
            error = quoted(path) + " is not writable";
            return false;
        }
    }
    const std::string folder = folder_of(path);
    std::string name = temporary_file_prefix(folder, static_cast<long>(getpid())) + "XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write into folder " + quoted(folder) + ": " + std::strerror(errno);
        return false;
    }
    fd_ = fd;
    temp_path_ = name;
    path_ = path;
    set_pending(temp_path_);
    // mkstemp makes the file private; the new file gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
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
