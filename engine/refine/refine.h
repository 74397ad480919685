// The refinement driver: time slices on the current and background entries,
// strategy selection, preview, and the image fetch with palette cycling.
#pragma once

#include <cstdint>

#include "history/context.h"

namespace quorvel {

constexpr float kSliceSeconds = 0.25f;

bool refine_image(Context& ctx);
bool refine_history(Context& ctx);
void ensure_generator(Context& ctx, int32_t index);
int set_generator_type(Context& ctx, int type);
int change_generator_type(Context& ctx);
bool toggle_preview(Context& ctx);
// Sets the deep kernel (0 auto, 1 exact, 2 perturbation; others change
// nothing); returns the mode before.
int set_deep_kernel(Context& ctx, int mode);
uint8_t* get_rgb_image(Context& ctx);

}  // namespace quorvel
