// Opening a file to read without ever waiting on it: the viewer and the tools
// refuse a FIFO or a device rather than block until someone writes to it.
#pragma once

#include <string>

namespace quorvel::common {

// Opens a file for reading without ever blocking, and only if it is a regular
// file. On failure returns -1 and says why in words ("it is missing", "it is a
// folder", "it is not a regular file", ...).
int open_regular_file(const std::string& path, std::string& problem);

}  // namespace quorvel::common
