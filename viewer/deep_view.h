// Views deeper than 192-bit coordinates hold: the engine's old view getters
// give their 192-bit rounding and a double radius (0 below the double range),
// so the viewer shows them from their exact texts instead.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "hex_text.h"
#include "quorvel.h"

namespace quorvel::viewer {

// The exact view on show, from qv_get_view_strings; empty texts when the engine
// cannot write them.
ExactView exact_view(qv_handle handle);

// The one rule for every output of the viewer: a view is within 192 bits when
// its exact centre texts equal the 192-bit ones and its radius is a normal
// double. Such a view prints byte for byte as it always has; for any other
// view this gives its exact texts.
std::optional<ExactView> deeper_view(qv_handle handle);

// The radius with `digits` significant digits as %g writes it: from the double
// when that is a normal one, else from the exact text ("1.2e-1234").
std::string radius_for_people(const ExactView& view, int digits);

// The console lines of a deeper view: the centre in decimal with as many digits
// as its radius needs (while they are at most kMaxDecimals), the exact centre,
// the radius and the iteration limit.
void print_deeper_view(const ExactView& view, unsigned iterations, std::FILE* out);

// What the window title adds for a deeper view (", radius 1.2e-1234"); empty
// for a view within 192 bits.
std::string title_depth(qv_handle handle);

}  // namespace quorvel::viewer
