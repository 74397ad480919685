// The refinement driver: time slices on the current and background entries,
// strategy selection, preview, and the image fetch with palette cycling.
#pragma once

#include <cstddef>
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
// Sets the colour mapping; false, changing nothing, for a density that is not
// positive and finite or a NaN phase. Turning smooth on reopens finished views.
bool set_colour_mapping(Context& ctx, double density, double phase, bool smooth);
// With a mapping other than the plain one, views stored without their counts
// lose their pixels, to be computed again.
void recount_stored_views(Context& ctx);
// The qv_get_pixel_counts copy of a view's grid; returns the sample count.
size_t copy_pixel_counts(Fractal& view, uint32_t* counts, float* smooth, size_t capacity);
uint8_t* get_rgb_image(Context& ctx);

}  // namespace quorvel
