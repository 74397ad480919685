#include "fake_engine.h"

#include <cstdio>
#include <cstring>

namespace fake {
namespace {

Engine g_engine;
int g_cell;

std::string format(const char* fmt, double a = 0, double b = 0, double c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

bool live(qv_handle h) { return h == handle(); }

}  // namespace

Engine& engine() { return g_engine; }
void reset() { g_engine = Engine{}; }
qv_handle handle() { return reinterpret_cast<qv_handle>(&g_cell); }

std::vector<std::string> calls_starting(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& call : g_engine.calls)
        if (call.starts_with(prefix)) found.push_back(call);
    return found;
}

}  // namespace fake

using fake::g_engine;
using fake::live;

extern "C" {

qv_handle qv_create_context(int megabytes) {
    g_engine.megabytes = megabytes;
    g_engine.calls.push_back("create_context " + std::to_string(megabytes));
    return fake::handle();
}
void qv_reset_context(qv_handle) { g_engine.calls.push_back("reset_context"); }
void qv_delete_context(qv_handle* h) {
    g_engine.calls.push_back("delete_context");
    if (h != nullptr && live(*h)) *h = nullptr;
}
bool qv_refine_image(qv_handle h) {
    g_engine.calls.push_back("refine_image");
    return live(h) && g_engine.refine_image_result;
}
bool qv_refine_history(qv_handle h) {
    g_engine.calls.push_back("refine_history");
    return live(h) && g_engine.refine_history_result;
}
int qv_set_generator_type(qv_handle, int type) { return g_engine.generator_type = type; }
int qv_change_generator_type(qv_handle h) {
    g_engine.calls.push_back("change_generator_type");
    if (!live(h)) return 0;
    return g_engine.generator_type = (g_engine.generator_type + 1) % 3;
}
const char* qv_describe_generator(int type) {
    switch (type) {
        case 0:
            return "contour tracing";
        case 1:
            return "box matching";
        case 2:
            return "brute force";
        default:
            return "unknown!?";
    }
}
void qv_set_image_properties(qv_handle h, int width, int height, int supersampling, float gamma) {
    g_engine.calls.push_back(
        fake::format("set_image_properties %g %g %g", width, height, supersampling) +
        fake::format(" %g", gamma));
    if (!live(h)) return;
    if (width > 0) g_engine.width = width;
    if (height > 0) g_engine.height = height;
    if (supersampling >= 1 && supersampling <= 8) g_engine.supersampling = supersampling;
    if (gamma > 0) g_engine.gamma = gamma;
}
void qv_set_palette(qv_handle, const unsigned char* rgb) {
    g_engine.calls.push_back("set_palette");
    std::memcpy(g_engine.palette.data(), rgb, 768);
}
void qv_set_palette_cycling_speed(qv_handle, float speed) {
    g_engine.calls.push_back(fake::format("set_palette_cycling_speed %.9g", speed));
    g_engine.cycling_speed = speed;
}
bool qv_toggle_preview(qv_handle) {
    g_engine.calls.push_back("toggle_preview");
    return g_engine.preview = !g_engine.preview;
}
unsigned int qv_adjust_maximum_iterations(qv_handle, float factor) {
    g_engine.calls.push_back(fake::format("adjust_maximum_iterations %g", factor));
    g_engine.max_iterations = static_cast<unsigned>(g_engine.max_iterations * factor);
    return g_engine.max_iterations;
}
unsigned int qv_get_maximum_iterations(qv_handle) { return g_engine.max_iterations; }
void qv_zoom_on_window_coord(qv_handle, int x, int y, float factor) {
    g_engine.calls.push_back(fake::format("zoom_on_window_coord %g %g %g", x, y, factor));
}
void qv_zoom_centered(qv_handle, float factor) {
    g_engine.calls.push_back(fake::format("zoom_centered %g", factor));
    g_engine.radius /= factor;
}
void qv_move(qv_handle, float dx, float dy) {
    g_engine.calls.push_back(fake::format("move %g %g", dx, dy));
}
unsigned char* qv_get_rgb_image(qv_handle) {
    g_engine.calls.push_back("get_rgb_image");
    return g_engine.rgb.empty() ? nullptr : g_engine.rgb.data();
}
int qv_get_image_width(qv_handle) { return g_engine.width; }
int qv_get_image_height(qv_handle) { return g_engine.height; }
float qv_get_cleverness(qv_handle) { return g_engine.cleverness; }
float qv_get_progress(qv_handle) { return g_engine.progress; }
float qv_get_time_spent(qv_handle) { return g_engine.time_spent; }
void qv_reset_current_view(qv_handle) { g_engine.calls.push_back("reset_current_view"); }
bool qv_history_back(qv_handle) {
    g_engine.calls.push_back("history_back");
    if (g_engine.history_index == 0) return false;
    --g_engine.history_index;
    return true;
}
bool qv_history_forward(qv_handle) {
    g_engine.calls.push_back("history_forward");
    if (g_engine.history_index == g_engine.history_last) return false;
    ++g_engine.history_index;
    return true;
}
// The fake keeps doubles where the engine keeps BigFloats.
void qv_store_location_to(qv_handle, Location* location) {
    g_engine.calls.push_back("store_location_to");
    std::memset(location, 0, sizeof *location);
    std::memcpy(location->centre_x, &g_engine.x, 8);
    std::memcpy(location->centre_y, &g_engine.y, 8);
    std::memcpy(location->radius, &g_engine.radius, 8);
    location->max_iterations = g_engine.max_iterations;
}
void qv_restore_location_from(qv_handle, const Location* location) {
    g_engine.calls.push_back("restore_location_from");
    std::memcpy(&g_engine.x, location->centre_x, 8);
    std::memcpy(&g_engine.y, location->centre_y, 8);
    std::memcpy(&g_engine.radius, location->radius, 8);
    g_engine.max_iterations = location->max_iterations;
}
void qv_set_view_params_from_doubles(qv_handle, double x, double y, double radius) {
    g_engine.calls.push_back(fake::format("set_view_params_from_doubles %g %g %g", x, y, radius));
    g_engine.x = x;
    g_engine.y = y;
    g_engine.radius = radius;
}
void qv_set_view_params_from_text(qv_handle, const char*, const char*, double) {}
void qv_get_view_params_as_doubles(qv_handle, double* x, double* y, double* radius) {
    *x = g_engine.x;
    *y = g_engine.y;
    *radius = g_engine.radius;
}
void qv_get_view_params_as_text(qv_handle, char*, char*, double*) {}
bool qv_load(qv_handle, const char* path) {
    g_engine.calls.push_back(std::string("load ") + path);
    return g_engine.load_result;
}
bool qv_save_all(qv_handle, const char* path) {
    g_engine.calls.push_back(std::string("save_all ") + path);
    return g_engine.save_result;
}
bool qv_save_minimum(qv_handle, const char* path) {
    g_engine.calls.push_back(std::string("save_minimum ") + path);
    return g_engine.save_result;
}

}  // extern "C"
