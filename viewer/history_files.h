// What the viewer checks itself around the engine's history files: why one
// cannot be loaded, and a file that can be read without blocking.
#pragma once

#include <optional>
#include <string>

namespace quorvel::viewer {

// Opens a file for reading without ever blocking (a FIFO or a device is
// refused, not waited on) and only if it is a regular file. On failure
// returns -1 and says why in words ("missing", "a folder", ...).
int open_regular_file(const std::string& path, std::string& problem);

// Why the file cannot be a history file: missing, not readable, a folder, not
// a regular file, or not a history file (wrong first line). Nothing when it
// looks like one; the engine may still find it damaged.
std::optional<std::string> history_file_problem(const std::string& path);

}  // namespace quorvel::viewer
