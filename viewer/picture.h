// Picture export: the engine's RGB image (top row first) as TGA or PNG.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel::viewer {

// Uncompressed 24-bit TGA: an 18-byte header, then the rows bottom row first,
// each pixel blue, green, red. Width and height must fit in 16 bits.
bool write_tga(const std::string& path, const std::uint8_t* rgb, int width, int height);

// 8-bit RGB PNG, top row first.
bool write_png(const std::string& path, const std::uint8_t* rgb, int width, int height);

}  // namespace quorvel::viewer
