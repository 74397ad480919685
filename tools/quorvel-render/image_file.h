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
    // and renames it into place.
    bool write_and_commit(ImageFormat format, const uint8_t* rgb, int width, int height,
                          std::string& error);

private:
    void discard();

    std::string path_;
    std::string temp_path_;
    int fd_ = -1;
};

// Removes a pending temporary file when the process is interrupted.
void install_interrupt_cleanup();

}  // namespace quorvel::render
