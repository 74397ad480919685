// One picture in horizontal bands, each computed by a worker process.
#pragma once

#include <vector>

#include "atomic_file.h"
#include "options.h"
#include "run_common.h"

namespace quorvel::render {

// A horizontal band of the picture: its rows, and the centre and radius that
// put its grid exactly on the whole picture's grid.
struct Band {
    int first_row, rows;
    std::string centre_y, radius;  // exact hexadecimal texts
};

// The engine lays a grid of Gw x Gh points from the centre, the radius (half
// the longer side) and the size; a band repeats that arithmetic so its
// points are the whole grid's rows g0 .. g0+gh-1 whenever the numbers are
// exact (power-of-two sizes make them so).
// At any depth the same arithmetic runs on the radius's mantissa, whose
// roundings the engine's extended-exponent steps repeat; the band centres are
// the exact centre plus those offsets, exactly.
std::vector<Band> plan_bands(const Target& t, int supersampling, int count);

// Renders the picture in bands shared by `jobs` workers and writes it.
int render_bands(const Plan& plan, const Options& o, const Target& t, int jobs,
                 common::AtomicFile& output);

}  // namespace quorvel::render
