// Picture output: PNG or TGA, written to a temporary file beside the target and
// renamed over it only when complete, so a failed run leaves nothing behind.
#pragma once

#include <cstdint>
#include <string>

#include "options.h"

namespace quorvel::render {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // removes the temporary file unless committed

    // Creates the temporary file in the target's folder; this is also the check
    // that the output path is writable. On failure, error says why.
    bool open(const std::string& path, std::string& error);

    // Writes the picture (rgb: width*height pixels, 3 bytes each, top row first)
    // and renames it into place. A PNG carries `view_text` in a tEXt chunk
    // when it is not empty.
    bool write_and_commit(ImageFormat format, const uint8_t* rgb, int width, int height,
                          const std::string& view_text, std::string& error);

private:
    void discard();

    std::string path_;
    std::string temp_path_;
    int fd_ = -1;
};

// The temporary file a process writes for `path` before renaming it; known to
// the parent, which removes it when that worker dies.
std::string temporary_path(const std::string& path, long pid);

// Removes a pending temporary file when the process is interrupted, and ends
// the registered worker processes first.
void install_interrupt_cleanup();
// A file that another program writes for us, removed on an interrupt; one
// at a time, and never while an OutputFile is open.
void set_pending_file(const std::string& path);
void clear_pending_file();
// Worker processes to end on an interrupt (at most 1024 at a time).
void register_worker(long pid);
void unregister_worker(long pid);
// In a new worker: it has no workers of its own, nor its parent's file.
void forget_workers();

}  // namespace quorvel::render
