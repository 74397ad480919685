// Whole-file replacement: everything goes to a temporary file beside the
// target, which is synced and renamed over the target only when complete, so
// the target is always either the old file or the whole new one. A link is
// followed and a replaced file keeps its permissions. The engine saves history
// files with it, the viewer and the tools their pictures and places (hence the
// namespace: one source, compiled into the library and into the programs).
#pragma once

#include <cstddef>
#include <string>

namespace quorvel::common {

class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();  // removes the temporary file unless committed

    // Creates the temporary file in the target's folder; this is also the check
    // that the target can be written. False with a reason in error otherwise
    // (the target is a folder, not a regular file, a dangling link or
    // write-protected; the folder is not writable).
    bool open(const std::string& path, std::string& error);

    // The temporary file's descriptor, -1 when none is open. Writers may write
    // through it directly; commit() reports what they could not.
    int fd() const { return fd_; }

    // Appends bytes, retrying short writes. False with a reason otherwise.
    bool write(const void* data, std::size_t size, std::string& error);

    // Syncs, closes and renames the temporary file over the target. On failure
    // the temporary file is removed and the old target left as it was.
    bool commit(std::string& error);

    // Removes the temporary file; the target is left as it was.
    void discard();

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string temp_path_;
    int fd_ = -1;
};

// Replaces the file at path with size bytes of data, as AtomicFile does.
bool replace_file(const std::string& path, const void* data, std::size_t size, std::string& error);

// The start of the names of the temporary files process `pid` makes for
// targets in `folder`; a parent removes those of a worker that was killed.
std::string temporary_file_prefix(const std::string& folder, long pid);

// The folder the temporary file for `path` goes into: the target's own, a
// link followed. Programs find the library's pending file there by its prefix.
std::string temporary_file_folder(const std::string& path);

// Removes the temporary file of the AtomicFile being written, if any. Only
// async-signal-safe calls: meant for signal handlers that end the process.
void remove_pending_temporary_file();

}  // namespace quorvel::common
