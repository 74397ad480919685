// The places text file, "places.txt" beside the binary places file: the
// twelve places at any depth. One line per slot, F1 first:
//   <centre x> <centre y> <radius> <iteration limit>
// the three numbers in the engine's exact hexadecimal text (hex_text.h), the
// limit in decimal (2 to 4294967295), single spaces, each line ending in '\n'.
// A place stored with a colour mapping other than the plain one adds three
// fields: <density> <phase> <smooth 0 or 1>, the numbers as %.17g writes them.
// An empty line is a slot the text file does not hold: the binary file's
// record stands for it. The binary file keeps being written beside it, with
// the centres rounded to 192 bits, for quorvel-render --place and older copies.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hex_text.h"
#include "places.h"

namespace quorvel::viewer {

struct PlaceMapping {
    double density = 1.0, phase = 0.0;
    bool smooth = false;
    bool operator==(const PlaceMapping&) const = default;
};

struct PlaceText {
    ExactView view;
    std::uint32_t iterations = 0;
    std::optional<PlaceMapping> mapping;  // none: the place leaves the mapping as it is
    bool operator==(const PlaceText&) const = default;
};
using PlaceTexts = std::array<std::optional<PlaceText>, kPlaceCount>;

// The text file beside the binary places file.
std::string places_text_path(const std::string& places_path);

std::string format_places_text(const PlaceTexts& places);
// True with the places read into `places`; false, with `places` untouched and
// the first fault in `problem` ("line 3: ..."), for anything but twelve lines
// of the form above.
// The text of a mapping's number, %.17g.
std::string mapping_number(double value);
bool parse_places_text(std::string_view text, PlaceTexts& places, std::string& problem);

}  // namespace quorvel::viewer
