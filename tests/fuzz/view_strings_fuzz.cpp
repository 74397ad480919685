// Feeds arbitrary texts to qv_set_view_from_strings: an accepted view's exact
// texts give the same view back and it can be computed, zoomed and moved; a
// refused one changes neither the view nor the history.
#include <cstddef>
#include <cstdint>
#include <string>

#include "quorvel.h"
#include "support/view_strings.h"

namespace {

using qvtest::history_length;
using Texts = qvtest::ViewStrings;

qv_handle context() {
    static qv_handle h = qv_create_context(8);
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Three texts separated by newlines; whatever is missing is empty.
    std::string parts[3];
    int k = 0;
    for (size_t i = 0; i < size && k < 3; ++i) {
        if (data[i] == '\n') {
            ++k;
            continue;
        }
        if (data[i] != '\0') parts[k] += static_cast<char>(data[i]);
    }
    qv_handle h = context();
    qv_reset_context(h);
    qv_set_image_properties(h, 6, 4, 1, -1.0f);
    const Texts before = qvtest::view_strings(h);
    if (qv_set_view_from_strings(h, parts[0].c_str(), parts[1].c_str(), parts[2].c_str()) != 1) {
        if (!(qvtest::view_strings(h) == before) || history_length(h) != 1) __builtin_trap();
        return 0;
    }
    if (history_length(h) != 2) __builtin_trap();
    const Texts shown = qvtest::view_strings(h);
    if (qv_set_view_from_strings(h, shown.x.c_str(), shown.y.c_str(), shown.radius.c_str()) != 1 ||
        !(qvtest::view_strings(h) == shown))
        __builtin_trap();
    // Small limits keep each run short while reaching every path of the view.
    qv_adjust_maximum_iterations(h, 0.5f);
    while (qv_refine_image(h)) {
    }
    qv_get_rgb_image(h);
    qv_zoom_on_window_coord(h, 2, 1, 3.0f);
    qv_move(h, 0.5f, -0.25f);
    qv_zoom_centered(h, 0.001f);
    while (qv_refine_image(h)) {
    }
    return 0;
}
