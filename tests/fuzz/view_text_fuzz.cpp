// Feeds arbitrary texts to the PNG view chunk's parser. An accepted text must
// hold values in range, format into a text that parses to the same fields
// (and formats again to the same text), and its centre and radius must be a
// view the engine takes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "quorvel.h"
#include "view_text.h"

namespace {

using quorvel::common::ViewText;

bool same(const ViewText& a, const ViewText& b) {
    return a.centre_x == b.centre_x && a.centre_y == b.centre_y && a.radius == b.radius &&
           a.radius_text == b.radius_text && a.iterations == b.iterations &&
           a.supersampling == b.supersampling && a.gamma == b.gamma && a.palette == b.palette;
}

qv_handle context() {
    static qv_handle h = qv_create_context(4);
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto view = quorvel::common::parse_view_text(text);
    if (!view) return 0;
    // Centres the engine takes, the exact ones of a deeper view too; a
    // radius of 0 only where an exact one stands for it.
    const bool deep = !view->exact_x.empty();
    if (!quorvel::common::is_centre_value(view->centre_x) ||
        !quorvel::common::is_centre_value(view->centre_y) ||
        deep != !view->exact_y.empty() ||
        (deep && (!quorvel::common::is_centre_value(view->exact_x) ||
                  !quorvel::common::is_centre_value(view->exact_y) || view->radius_text.empty())) ||
        !std::isfinite(view->radius) || !(view->radius >= 0.0) ||
        (view->radius == 0.0 && view->radius_text.empty()) || view->iterations < 2 ||
        view->supersampling < 0 || view->supersampling > 8 || !(view->gamma >= 0.0f) ||
        view->gamma > 100.0f)
        __builtin_trap();
    const std::string written = quorvel::common::format_view_text(*view);
    const auto again = quorvel::common::parse_view_text(written);
    if (!again || !same(*again, *view) || quorvel::common::format_view_text(*again) != written)
        __builtin_trap();
    if (quorvel::common::render_command_line(*view, 64, 48).empty()) __builtin_trap();
    // The engine takes the centre texts and the radius the chunk carries.
    char radius[64];
    std::snprintf(radius, sizeof radius, "%.17g", view->radius);
    const std::string& r = view->radius_text.empty() ? std::string(radius) : view->radius_text;
    const std::string& x = deep ? view->exact_x : view->centre_x;
    const std::string& y = deep ? view->exact_y : view->centre_y;
    if (qv_set_view_from_strings(context(), x.c_str(), y.c_str(), r.c_str()) != 1)
        __builtin_trap();
    qv_reset_context(context());
    return 0;
}
