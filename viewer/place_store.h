// The twelve places at any depth, between the engine, memory and the two
// files: the binary records (what the signal path writes, and what
// quorvel-render --place and older copies read) and the exact texts of
// places.txt (places_text.h), which are what a restore shows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "places.h"
#include "places_text.h"
#include "quorvel.h"

namespace quorvel::viewer {

// At start: the text file when it is whole and the engine takes every place in
// it (the records are then made from it; empty lines take the binary file's
// records, or the view on show), else the binary file, else twelve copies of
// the view on show. A damaged text
// file is said and renamed to places.txt.bad for a person to mend; the binary
// file, written with every place, stands in for it. Says which file was read.
void load_places(qv_handle handle, const std::string& places_path, Places& places,
                 PlaceTexts& texts, std::FILE* out);

// Ctrl+F: the view on show into the slot, its record and its exact text.
void store_place(qv_handle handle, Location& place, std::optional<PlaceText>& text);

// F: a new history entry showing the place, from its exact text when it has
// one (its record otherwise), with its iteration limit.
void restore_place(qv_handle handle, const Location& place, const std::optional<PlaceText>& text);

// Writes the text file, then the binary file; false with the first failure's
// reason in `error`. The text goes first: it is the one read at start.
bool save_places(const std::string& places_path, const Places& places, const PlaceTexts& texts,
                 std::string& error);

// Sets the current view's limit with qv_adjust_maximum_iterations, which takes
// a float factor: exact below 2^23, within a float's precision above.
void set_iteration_limit(qv_handle handle, std::uint32_t limit);

}  // namespace quorvel::viewer
