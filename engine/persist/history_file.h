// The history file: the whole history with or without its pixels.
#pragma once

#include "history/context.h"

namespace quorvel {

// Writes through a temporary file renamed over `path`; false on any failure,
// leaving an existing file untouched.
bool save_history(Context& ctx, const char* path, bool full);
// Reads and checks the whole file before replacing the history; on false the
// context is unchanged.
bool load_history(Context& ctx, const char* path);

}  // namespace quorvel
