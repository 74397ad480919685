// Ending the viewer from a signal handler while the engine may be in the middle
// of a long call: the places are written from memory with async-signal-safe
// calls only, then the process ends at once.
#pragma once

#include <string>

#include "places.h"

namespace quorvel::viewer {

// Remembers where the places go and which array holds them; call again when
// the path changes. The array must live until the process ends.
void prepare_emergency_exit(const std::string& places_path, const Places* places);

// Writes the places through a temporary file and a rename. Async-signal-safe;
// true when the places file was replaced.
bool write_places_from_signal();

// Writes the places, removes any pending temporary file and ends the process
// with status 0, without running exit handlers. Async-signal-safe.
[[noreturn]] void emergency_exit();

}  // namespace quorvel::viewer
