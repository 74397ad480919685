// Feeds arbitrary place records to qv_restore_location_from on a live context:
// nothing may crash, the view shown must be a real one, and it must be
// computable, zoomable and movable.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quorvel.h"

namespace {

qv_handle context() {
    static qv_handle h = qv_create_context(8);
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Location place;
    std::memset(&place, 0, sizeof place);
    std::memcpy(&place, data, size < sizeof place ? size : sizeof place);
    // The record's limit is taken as it is; a small one keeps each run short
    // while still reaching every path of the view.
    place.max_iterations %= 512;

    // A byte past the record, if any, picks the supersampling.
    const int supersampling = size > sizeof place ? 1 + data[sizeof place] % 3 : 1;

    qv_handle h = context();
    qv_reset_context(h);
    qv_set_image_properties(h, 8, 6, supersampling, -1.0f);
    qv_restore_location_from(h, &place);

    // A radius below the double range reads as 0 here; the exact text says
    // it is a real one.
    double x, y, radius;
    qv_get_view_params_as_doubles(h, &x, &y, &radius);
    if (!std::isfinite(x) || !std::isfinite(y) || !(radius >= 0.0) || !(radius <= 2.0))
        __builtin_trap();
    char text[3][256];
    if (qv_get_view_strings(h, text[0], text[1], text[2], sizeof text[0]) > sizeof text[0] ||
        text[2][0] != '+')
        __builtin_trap();
    if (!qv_history_back(h)) __builtin_trap();  // the restore added one entry
    qv_history_forward(h);

    while (qv_refine_image(h)) {
    }
    qv_get_rgb_image(h);
    qv_zoom_on_window_coord(h, 3, 2, 2.0f);
    qv_move(h, 0.25f, -0.5f);
    while (qv_refine_image(h)) {
    }
    qv_get_rgb_image(h);
    return 0;
}
