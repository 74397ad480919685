// Picture files, TGA or PNG, written through an AtomicFile: a picture file is
// either the whole new picture or whatever was there before.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "atomic_file.h"

namespace quorvel::common {

enum class PictureFormat { tga, png };

// What goes into a picture file. Fields added later get defaults that keep
// the files written so far unchanged.
struct Picture {
    const std::uint8_t* rgb = nullptr;  // width * height pixels, 3 bytes each, top row first
    int width = 0;
    int height = 0;
};

// The format a file name asks for: .tga or .png, in any case; none otherwise.
std::optional<PictureFormat> picture_format_for(const std::string& path);

// Writes the picture into the open file and commits it. TGA is uncompressed
// 24-bit, bottom row first, each pixel blue, green, red; its sides must fit in
// 15 bits. PNG is 8-bit RGB. On failure error says why, the temporary file is
// gone and the old target is intact. A PNG carries view_text (as
// format_view_text writes it) in a "quorvel view" tEXt chunk unless it is empty.
bool write_picture(AtomicFile& file, PictureFormat format, const Picture& picture,
                   std::string& error, const std::string& view_text = {});

// Opens an AtomicFile on path and writes the picture into it.
bool save_picture(const std::string& path, PictureFormat format, const Picture& picture,
                  std::string& error, const std::string& view_text = {});

}  // namespace quorvel::common
