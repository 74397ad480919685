// Ending the viewer on a signal while the engine may be in the middle of a
// long call: the first signal asks the main loop to end and sets a deadline;
// when it passes, or another signal comes, the handler writes the places from
// memory with async-signal-safe calls only, removes any temporary file, and
// the process ends at once.
#pragma once

#include <string>

#include "places.h"

namespace quorvel::viewer {

// Remembers where the places go and which array holds them; call again when
// the path changes. The array must live until the process ends.
void prepare_emergency_exit(const std::string& places_path, const Places* places);

// Remembers the folder where the engine puts its temporary file while it
// saves to `target`; call before qv_save_all or qv_save_minimum. The engine's
// copy of the file writer keeps that file's name to itself, but the name
// starts with the folder and this process's id.
void note_engine_save(const std::string& target);

// Writes the places through a temporary file and a rename. Async-signal-safe;
// true when the places file was replaced.
bool write_places_from_signal();

// Writes the places, removes the pending temporary files (the program's and
// the engine's) and ends the process with status 0, without running exit
// handlers. Async-signal-safe.
[[noreturn]] void emergency_exit();

// SIGINT, SIGTERM and SIGHUP: the first sets stop_requested() and a deadline
// of `grace_microseconds`, after which (SIGALRM), or at the next of these
// signals, emergency_exit() ends the process.
void install_stop_signals(long grace_microseconds);
bool stop_requested();

// The main loop has ended and the normal shutdown is about to save: the
// deadline is cancelled, and any signal from now on ends the process at once.
void begin_shutdown();

}  // namespace quorvel::viewer
