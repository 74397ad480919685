// Picture files, TGA or PNG, written through an AtomicFile: a picture file is
// either the whole new picture or whatever was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// A PNG's pixel data compressed in parts, so that processes can each compress
// their own rows and one of them join the parts into a file. A part is a run
// of rows as raw deflate data ending on a byte boundary; the last part ends
// the stream.
struct PngPart {
    const std::uint8_t* data = nullptr;  // the compressed bytes
    std::size_t size = 0;
    std::uint32_t adler = 1;      // Adler-32 of the uncompressed bytes
    std::uint64_t raw_bytes = 0;  // rows * (1 + 3 * width)
};

// Compresses `rows` rows of RGB, `width` pixels each, top row first, as one
// part; sets adler and raw_bytes of `part`, whose data are the bytes returned
// (none when zlib could not start).
std::vector<std::uint8_t> compress_png_part(const std::uint8_t* rgb, int width, int rows, bool last,
                                            PngPart& part);

// The most bytes compress_png_part returns for `rows` rows of `width` pixels.
std::size_t png_part_bound(int width, int rows);

// Writes a PNG of width x height from its parts, top first, and commits, as
// write_picture does; the parts' rows must make up the picture.
bool write_png_parts(AtomicFile& file, int width, int height, const std::vector<PngPart>& parts,
                     std::string& error, const std::string& view_text = {});

// Opens an AtomicFile on path and writes the picture into it.
bool save_picture(const std::string& path, PictureFormat format, const Picture& picture,
                  std::string& error, const std::string& view_text = {});

}  // namespace quorvel::common
