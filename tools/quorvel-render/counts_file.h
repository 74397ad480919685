// The full counts of a context's current view as an OpenEXR picture: a UINT
// channel N, the escape count (the limit inside the set, 0 where nothing was
// computed), and a FLOAT channel NF, the smooth fraction s - n (0 without one).
// One pixel per computed sample: the grid is the picture times supersampling.
#pragma once

#include <quorvel.h>

#include <string>

namespace quorvel::render {

// Writes through a temporary file renamed into place; false with a reason.
bool write_counts_exr(qv_handle handle, const std::string& path, std::string& reason);

}  // namespace quorvel::render
