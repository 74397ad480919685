// The exported C interface: every call validates its handle against the
// registry, maps out-of-range arguments and forwards to the engine. Nothing
// thrown inside may cross this boundary.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "api/context_registry.h"
#include "base/free_pages.h"
#include "base/little_endian.h"
#include "deep/wide_real.h"
#include "generators/generator_factory.h"
#include "history/history.h"
#include "persist/history_file.h"
#include "quorvel.h"
#include "refine/refine.h"

using namespace quorvel;

namespace {

constexpr double kDefaultRadius = 2.0;
constexpr uint32_t kDefaultIterations = 150;

// Runs `work` on a live context; the neutral result for an unknown handle or
// a failure inside.
template <class R, class Work>
R with_context(qv_handle handle, R neutral, Work work) {
    try {
        if (Context* ctx = registry().find(handle)) return work(*ctx);
    } catch (...) {
    }
    return neutral;
}

template <class Work>
void with_context(qv_handle handle, Work work) {
    try {
        if (Context* ctx = registry().find(handle)) work(*ctx);
    } catch (...) {
    }
}

void write_location(Location* location, const BigFloat& x, const BigFloat& y,
                    const BigFloat& radius, uint32_t iterations) {
    x.store(location->centre_x);
    y.store(location->centre_y);
    radius.store(location->radius);
    uint8_t count[4];
    store_le32(count, iterations);
    std::memcpy(&location->max_iterations, count, 4);
}

// Whether a normalised value converts to a finite double: zero, or a binary
// exponent that a double can hold.
bool fits_double(const BigFloat& b) {
    return b.is_zero() || (b.exponent >= -1022 && b.exponent <= 1023);
}

// A radius the view setters take: a positive normal double. NaN, infinity,
// zero, negative and subnormal radii make views no file can hold.
bool usable_radius(double radius) { return radius > 0.0 && std::isnormal(radius); }

// A centre a history file can hold: finite, and nearer than 2^64 (the rule the
// loader applies). Any other would be saved, and the whole file then refused.
bool usable_centre(const BigFloat& x, const BigFloat& y) {
    auto near = [](double v) { return std::fabs(v) < 0x1p64; };
    return near(x.to_double()) && near(y.to_double());
}

void write_default_text(char* x, char* y, double* radius) {
    if (x) std::strcpy(x, "0");
    if (y) std::strcpy(y, "0");
    if (radius) *radius = kDefaultRadius;
}

}  // namespace

extern "C" {

qv_handle qv_create_context(int memory_megabytes) {
    try {
        if (memory_megabytes < 0) memory_megabytes = 32;
        auto first_view = std::make_unique<Fractal>(100, 100);
        auto context = std::make_unique<Context>(std::move(first_view), memory_megabytes);
        return reinterpret_cast<qv_handle>(registry().add(std::move(context)));
    } catch (...) {
        return nullptr;
    }
}

void qv_reset_context(qv_handle handle) {
    with_context(handle, [](Context& ctx) { ctx.reset(); });
}

void qv_delete_context(qv_handle* handle) {
    if (handle == nullptr) return;
    try {
        if (registry().find(*handle) == nullptr) return;
        registry().remove(*handle);
        *handle = nullptr;
        release_free_pages();
    } catch (...) {
    }
}

bool qv_refine_image(qv_handle handle) {
    return with_context(handle, false, [](Context& ctx) { return refine_image(ctx); });
}

bool qv_refine_history(qv_handle handle) {
    return with_context(handle, false, [](Context& ctx) { return refine_history(ctx); });
}

int qv_set_generator_type(qv_handle handle, int type) {
    return with_context(handle, 0, [type](Context& ctx) { return set_generator_type(ctx, type); });
}

int qv_change_generator_type(qv_handle handle) {
    return with_context(handle, 0, [](Context& ctx) { return change_generator_type(ctx); });
}

const char* qv_describe_generator(int type) { return describe_generator(type); }

void qv_set_image_properties(qv_handle handle, int width, int height, int supersampling,
                             float gamma) {
    with_context(handle, [=](Context& ctx) {
        set_image_properties(ctx, width, height, supersampling, gamma);
    });
}

void qv_set_palette(qv_handle handle, const unsigned char* rgb) {
    if (rgb == nullptr) return;
    with_context(handle, [rgb](Context& ctx) { ctx.rgb_image->set_palette(rgb); });
}

void qv_set_palette_cycling_speed(qv_handle handle, float speed) {
    // A speed that is not finite never cycles; kept as 0, it also saves into
    // a file the loader takes.
    with_context(
        handle, [speed](Context& ctx) { ctx.cycling_speed = std::isfinite(speed) ? speed : 0.0f; });
}

bool qv_toggle_preview(qv_handle handle) {
    return with_context(handle, false, [](Context& ctx) { return toggle_preview(ctx); });
}

int qv_set_deep_kernel(qv_handle handle, int mode) {
    return with_context(handle, 0, [mode](Context& ctx) { return set_deep_kernel(ctx, mode); });
}

int qv_get_deep_kernel(qv_handle handle) {
    return with_context(handle, 0, [](Context& ctx) { return static_cast<int>(ctx.deep_kernel); });
}

unsigned int qv_adjust_maximum_iterations(qv_handle handle, float factor) {
    return with_context(handle, 0u,
                        [factor](Context& ctx) { return adjust_maximum_iterations(ctx, factor); });
}

unsigned int qv_get_maximum_iterations(qv_handle handle) {
    return with_context(handle, 0u,
                        [](Context& ctx) { return ctx.current_view().max_iterations(); });
}

void qv_zoom_on_window_coord(qv_handle handle, int x, int y, float factor) {
    with_context(handle, [=](Context& ctx) { zoom_on_window_coord(ctx, x, y, factor); });
}

void qv_zoom_centered(qv_handle handle, float factor) {
    with_context(handle, [factor](Context& ctx) { zoom_centered(ctx, factor); });
}

void qv_move(qv_handle handle, float dx, float dy) {
    with_context(handle, [=](Context& ctx) { move_view(ctx, dx, dy); });
}

int qv_set_colour_mapping(qv_handle handle, double density, double phase, int smooth) {
    return with_context(handle, 0, [=](Context& ctx) {
        return set_colour_mapping(ctx, density, phase, smooth != 0) ? 1 : 0;
    });
}

void qv_get_colour_mapping(qv_handle handle, double* density, double* phase, int* smooth) {
    with_context(handle, [=](Context& ctx) {
        if (density) *density = ctx.mapping.density;
        if (phase) *phase = ctx.mapping.phase;
        if (smooth) *smooth = ctx.mapping.smooth ? 1 : 0;
    });
}

size_t qv_get_pixel_counts(qv_handle handle, uint32_t* counts, float* smooth, size_t capacity) {
    return with_context(handle, size_t{0}, [=](Context& ctx) {
        return copy_pixel_counts(ctx.current_view(), counts, smooth, capacity);
    });
}

unsigned char* qv_get_rgb_image(qv_handle handle) {
    return with_context(handle, static_cast<unsigned char*>(nullptr),
                        [](Context& ctx) { return get_rgb_image(ctx); });
}

int qv_get_image_width(qv_handle handle) {
    return with_context(handle, 0, [](Context& ctx) { return ctx.current_entry().width; });
}

int qv_get_image_height(qv_handle handle) {
    return with_context(handle, 0, [](Context& ctx) { return ctx.current_entry().height; });
}

float qv_get_cleverness(qv_handle handle) {
    return with_context(handle, 0.0f, [](Context& ctx) { return ctx.current_entry().cleverness; });
}

float qv_get_progress(qv_handle handle) {
    return with_context(handle, 0.0f, [](Context& ctx) { return ctx.current_entry().progress; });
}

float qv_get_time_spent(qv_handle handle) {
    return with_context(handle, 0.0f, [](Context& ctx) { return ctx.current_entry().time_spent; });
}

void qv_reset_current_view(qv_handle handle) {
    with_context(handle, [](Context& ctx) { reset_current_view(ctx); });
}

bool qv_history_back(qv_handle handle) {
    return with_context(handle, false, [](Context& ctx) { return history_back(ctx); });
}

bool qv_history_forward(qv_handle handle) {
    return with_context(handle, false, [](Context& ctx) { return history_forward(ctx); });
}

void qv_store_location_to(qv_handle handle, Location* location) {
    if (location == nullptr) return;
    try {
        if (Context* ctx = registry().find(handle)) {
            const Fractal& view = ctx->current_view();
            // A deep view's radius keeps its exponent: BigFloats hold any depth.
            write_location(location, view.centre_x(), view.centre_y(),
                           WideReal::from_ext(view.exact_radius()).to_big_float(),
                           view.max_iterations());
            return;
        }
        write_location(location, BigFloat(), BigFloat(), BigFloat(kDefaultRadius),
                       kDefaultIterations);
    } catch (...) {
    }
}

void qv_restore_location_from(qv_handle handle, const Location* location) {
    if (location == nullptr) return;
    with_context(handle, [location](Context& ctx) {
        // Records come from files: the words are normalised before any
        // arithmetic, and a record that holds no view (a centre or radius that
        // is no finite double, a radius <= 0) shows the home view, as a radius
        // of 2 or more does.
        // A radius below the double range is a deep place, kept exactly.
        BigFloat x = BigFloat::load(location->centre_x).normalised();
        BigFloat y = BigFloat::load(location->centre_y).normalised();
        const BigFloat r = BigFloat::load(location->radius).normalised();
        ExtFloat radius = WideReal(r).to_ext();
        if (!fits_double(x) || !fits_double(y) || r.is_zero() || r.negative || r.exponent > 1023 ||
            r.exponent < kDeepestRadiusExponent) {
            x = BigFloat();
            y = BigFloat();
            radius = ExtFloat(kDefaultRadius);
        }
        uint8_t count[4];
        std::memcpy(count, &location->max_iterations, 4);
        Fractal& view = push_view(ctx, Pixels::dropped);
        view.set_view(WideReal(x), WideReal(y), radius);
        view.set_max_iterations(load_le32(count));
    });
}

void qv_set_view_params_from_doubles(qv_handle handle, double x, double y, double radius) {
    if (!usable_radius(radius) || !usable_centre(BigFloat(x), BigFloat(y))) return;
    with_context(handle, [=](Context& ctx) {
        Fractal& view = push_view(ctx, Pixels::dropped);
        view.set_view(BigFloat(x), BigFloat(y), radius);
    });
}

void qv_set_view_params_from_text(qv_handle handle, const char* x, const char* y, double radius) {
    if (x == nullptr || y == nullptr || !usable_radius(radius)) return;
    with_context(handle, [=](Context& ctx) {
        const BigFloat cx(x);
        const BigFloat cy(y);
        if (!usable_centre(cx, cy)) return;
        Fractal& view = push_view(ctx, Pixels::dropped);
        view.set_view(cx, cy, radius);
    });
}

void qv_get_view_params_as_doubles(qv_handle handle, double* x, double* y, double* radius) {
    double vx = 0.0, vy = 0.0, vr = kDefaultRadius;
    with_context(handle, [&](Context& ctx) {
        const Fractal& view = ctx.current_view();
        vx = view.centre_x().to_double();
        vy = view.centre_y().to_double();
        vr = view.radius();
    });
    if (x) *x = vx;
    if (y) *y = vy;
    if (radius) *radius = vr;
}

void qv_get_view_params_as_text(qv_handle handle, char* x, char* y, double* radius) {
    const bool live = with_context(handle, false, [&](Context& ctx) {
        const Fractal& view = ctx.current_view();
        if (x) view.centre_x().to_text(x);
        if (y) view.centre_y().to_text(y);
        if (radius) *radius = view.radius();
        return true;
    });
    if (!live) write_default_text(x, y, radius);
}

int qv_set_view_from_strings(qv_handle handle, const char* x, const char* y, const char* radius) {
    if (x == nullptr || y == nullptr || radius == nullptr) return 0;
    return with_context(handle, 0, [=](Context& ctx) {
        const std::optional<WideReal> cx = WideReal::parse(x), cy = WideReal::parse(y);
        const std::optional<ExtFloat> r = parse_radius(radius);
        if (!cx || !cy || !r || !(*r > ExtFloat())) return 0;
        if (*r < ExtFloat(2.0) && !holdable_place(*cx, *cy, *r)) return 0;
        push_view(ctx, Pixels::dropped).set_view(*cx, *cy, *r);
        return 1;
    });
}

size_t qv_get_view_strings(qv_handle handle, char* x, char* y, char* radius, size_t capacity) {
    try {
        std::string texts[3] = {WideReal().to_hex_text(), WideReal().to_hex_text(),
                                radius_hex_text(ExtFloat(kDefaultRadius))};
        if (Context* ctx = registry().find(handle)) {
            const Fractal& view = ctx->current_view();
            texts[0] = view.exact_centre_x().to_hex_text();
            texts[1] = view.exact_centre_y().to_hex_text();
            texts[2] = radius_hex_text(view.exact_radius());
        }
        const size_t needed = std::max({texts[0].size(), texts[1].size(), texts[2].size()}) + 1;
        if (capacity < needed) return needed;
        char* out[3] = {x, y, radius};
        for (int k = 0; k < 3; ++k)
            if (out[k]) std::memcpy(out[k], texts[k].c_str(), texts[k].size() + 1);
        return needed;
    } catch (...) {
        return 0;
    }
}

bool qv_load(qv_handle handle, const char* path) {
    if (path == nullptr) return false;
    return with_context(handle, false, [path](Context& ctx) {
        if (!load_history(ctx, path)) return false;
        recount_stored_views(ctx);
        return true;
    });
}

bool qv_save_all(qv_handle handle, const char* path) {
    if (path == nullptr) return false;
    return with_context(handle, false,
                        [path](Context& ctx) { return save_history(ctx, path, true); });
}

bool qv_save_minimum(qv_handle handle, const char* path) {
    if (path == nullptr) return false;
    return with_context(handle, false,
                        [path](Context& ctx) { return save_history(ctx, path, false); });
}

}  // extern "C"

static_assert(sizeof(Location) == 100, "Location is a 100-byte record");
