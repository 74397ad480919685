// Resolving the command line before any work: files read, centres converted
// exactly, defaults filled in.
#pragma once

#include <string>

#include "options.h"
#include "run_common.h"

namespace quorvel::render {

// Fills the plan; a message naming the culprit option when something is
// wrong (exit status 2).
std::string prepare(const Options& o, Plan& plan);
// The shipped palette, or a grey ramp when it is missing, unless one is set.
void default_palette(Setup& s);
// Warns when a decimal centre has fewer digits than the radius needs.
void warn_about_digits(const Options& o, const Target& t);

}  // namespace quorvel::render
