// Picture output of the tool: the shared atomic picture writer, plus removal
// of a pending temporary file when the process is interrupted.
#pragma once

#include "atomic_file.h"
#include "picture_file.h"

namespace quorvel::render {

// Removes a pending temporary file when the process is interrupted.
void install_interrupt_cleanup();

}  // namespace quorvel::render
