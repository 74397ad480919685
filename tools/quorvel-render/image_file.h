// Picture output of the tool: the shared atomic picture writer, plus what an
// interrupt must clean up: the pending temporary file, a video ffmpeg is
// writing, and the worker processes.
#pragma once

#include <string>

#include "atomic_file.h"
#include "picture_file.h"

namespace quorvel::render {

// Removes the pending files and ends the registered workers when the process
// is interrupted, then lets the signal end it.
void install_interrupt_cleanup();

// A file that another program writes for us, removed on an interrupt; one at
// a time.
void set_pending_file(const std::string& path);
void clear_pending_file();

// Worker processes to end on an interrupt (at most 1024 at a time).
void register_worker(long pid);
void unregister_worker(long pid);
// In a new worker: it has no workers of its own.
void forget_workers();

// Removes the temporary files a killed worker left in the folder of `path`.
void remove_temporary_files_of(const std::string& path, long pid);

}  // namespace quorvel::render
