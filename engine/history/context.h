// Context and HistEntry: the state behind one handle, a bounded history of
// views with its memory budget, the colouring stage and palette cycling.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/stopwatch.h"
#include "colour/colour_mapping.h"
#include "colour/rgb_image.h"
#include "deep/deep_kernel.h"
#include "generators/generator.h"
#include "view/fractal.h"

namespace quorvel {

// One view of the history. An entry with no fractal is an empty slot.
//
// Invariants:
// - `generator`, when set, computes this entry's own `fractal` and nothing
//   else; it is destroyed before the view it refers to.
// - `width` x `height` is the output picture; the view's grid is that times
//   `supersampling`.
// - `trimmed`: the view's pixels were released for the budget; only its
//   location remains, and statistics are cleared.
struct HistEntry {
    std::unique_ptr<Fractal> fractal;
    std::unique_ptr<Generator> generator;  // refers to `fractal`; destroyed first
    int32_t width = 0;
    int32_t height = 0;
    int32_t supersampling = 0;
    int32_t generator_type = 0;
    float cleverness = 0.0f;
    float progress = 0.0f;
    float time_spent = 0.0f;
    bool finished = false;
    bool trimmed = false;

    // Back to the empty slot; the generator goes before the view it uses.
    void clear() {
        generator.reset();
        fractal.reset();
        *this = HistEntry();
    }
};

constexpr uint32_t kHistoryCapacity = 256;

// Invariants:
// - `entries.size() == capacity` and `0 <= current <= last < capacity`.
// - Entries 0 to `last` hold a view; those after `last` are empty slots.
// - `rgb_image` is never null and has the size of the current entry.
// - `memory_used` counts the views other than the current one, which is never
//   packed or trimmed while shown.
struct Context {
    // A context whose entry 0 is `first_view`, with a budget of `megabytes`.
    Context(std::unique_ptr<Fractal> first_view, int megabytes);
    // Back to one default 100x100 view; capacity and budget stay.
    void reset();

    HistEntry& current_entry() { return entries[static_cast<size_t>(current)]; }
    Fractal& current_view() { return *current_entry().fractal; }

    std::unique_ptr<RgbImage> rgb_image;
    Stopwatch cycle_timer;
    float cycling_speed = 0.0f;
    float cycling_phase = 0.0f;
    std::vector<HistEntry> entries;  // `capacity` slots
    int32_t current = 0;
    int32_t last = 0;
    uint32_t capacity = kHistoryCapacity;
    uint32_t memory_used = 0;
    uint32_t memory_limit = 0;
    bool preview = true;
    float gamma = 1.75f;
    ColourMapping mapping;
    DeepKernel deep_kernel = DeepKernel::automatic;
};

}  // namespace quorvel
