// What the viewer checks itself around the engine's history files: why one
// cannot be loaded.
#pragma once

#include <optional>
#include <string>

namespace quorvel::viewer {

// Why the file cannot be a history file: missing, not readable, a folder, not
// a regular file, or not a history file (wrong first line). Nothing when it
// looks like one; the engine may still find it damaged.
std::optional<std::string> history_file_problem(const std::string& path);

}  // namespace quorvel::viewer
