// Builds the strategy for a generator type number.
#pragma once

#include <memory>

#include "generators/generator.h"

namespace quorvel {

// 1 box matching, 2 brute force, anything else contour tracing.
std::unique_ptr<Generator> make_generator(int type, Fractal& view);
// "contour tracing", "box matching", "brute force" or "unknown!?".
const char* describe_generator(int type);

}  // namespace quorvel
