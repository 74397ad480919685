// Palette files: 256 R,G,B triplets, read by the viewer at start-up and by its
// palette command. Apart from the commands, so that a fuzz target can read
// palettes without the window system.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quorvel::viewer {

using Palette = std::array<std::uint8_t, 768>;

// Reads the palette file into the buffer (up to 768 bytes; a shorter file
// keeps the remaining entries). False, with the buffer unchanged and the
// reason in error, when the file is missing, empty, a folder or unreadable.
bool read_palette(const std::string& path, Palette& palette, std::string& error);

}  // namespace quorvel::viewer
