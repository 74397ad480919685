// The places file: twelve 100-byte Location records, slot i for key F(i + 1).
#pragma once

#include <array>
#include <string>

#include "quorvel.h"

namespace quorvel::viewer {

inline constexpr int kPlaceCount = 12;
using Places = std::array<Location, kPlaceCount>;

static_assert(sizeof(Location) == 100, "a place record is 100 bytes on disk");

// Reads the records in slot order; slots beyond the end of a shorter file
// keep their previous contents (a partly present record keeps its missing
// bytes too). False when the file does not open or is not a regular file
// (a FIFO is refused, not waited on).
bool read_places(const std::string& path, Places& places);

// Writes all twelve records to a temporary file beside the target and renames
// it over the target, so a failed write never destroys the existing places.
// On failure error says why.
bool write_places(const std::string& path, const Places& places, std::string& error);

}  // namespace quorvel::viewer
