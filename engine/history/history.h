// The view history: new entries, back and forward, in-place changes of the
// current entry, and the memory budget.
#pragma once

#include <cstdint>

#include "history/context.h"

namespace quorvel {

// What the new current view does with the pixels it starts with: a move keeps
// (shifts) them; a new place drops them, so the history takes them over
// instead of a copy.
enum class Pixels { kept, dropped };

// Adds a new current entry holding the current view; the previous entry keeps a
// copy. Returns the new current view.
Fractal& push_view(Context& ctx, Pixels pixels = Pixels::kept);
void trim_memory(Context& ctx);
void recompute_memory_used(Context& ctx);

bool history_back(Context& ctx);
bool history_forward(Context& ctx);
void zoom_on_window_coord(Context& ctx, int x, int y, float factor);
void zoom_centered(Context& ctx, float factor);
void move_view(Context& ctx, float dx, float dy);
void set_image_properties(Context& ctx, int width, int height, int supersampling, float gamma);
uint32_t adjust_maximum_iterations(Context& ctx, float factor);
void reset_current_view(Context& ctx);

}  // namespace quorvel
