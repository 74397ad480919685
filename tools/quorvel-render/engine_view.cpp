#include "engine_view.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "options.h"

namespace quorvel::render {
namespace {

constexpr int kMemoryMegabytes = 64;
constexpr size_t kIterationsOffset = 96;

void set_location_iterations(Location& location, uint32_t n) {
    auto* bytes = reinterpret_cast<uint8_t*>(&location) + kIterationsOffset;
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(n >> (8 * i));
}

struct ExactTexts {
    std::string x, y, radius;
};

ExactTexts exact_texts(qv_handle h) {
    const size_t size = qv_get_view_strings(h, nullptr, nullptr, nullptr, 0);
    if (size == 0) return {};
    std::string x(size, '\0'), y(size, '\0'), radius(size, '\0');
    if (qv_get_view_strings(h, x.data(), y.data(), radius.data(), size) != size) return {};
    for (std::string* text : {&x, &y, &radius}) text->resize(text->find('\0'));
    return {std::move(x), std::move(y), std::move(radius)};
}

}  // namespace

EngineContext::EngineContext() : handle_(qv_create_context(kMemoryMegabytes)) {}
EngineContext::~EngineContext() { qv_delete_context(&handle_); }

std::string EngineContext::configure(const Setup& s) {
    const qv_handle h = handle_;
    if (h == nullptr) return "cannot create an engine context";
    if (s.load_file && !qv_load(h, s.load_file->c_str()))
        return "--load: '" + *s.load_file + "' is not a readable history file";

    int width = s.width, height = s.height;
    if (s.supersampling > 0 && width < 0 && s.load_file) {
        // The grid check needs the size the history file brought.
        width = qv_get_image_width(h);
        height = qv_get_image_height(h);
        if (int64_t{width} * s.supersampling > kMaxGrid ||
            int64_t{height} * s.supersampling > kMaxGrid) {
            return "--supersampling: " + std::to_string(s.supersampling) + " at " +
                   std::to_string(width) + "x" + std::to_string(height) +
                   " exceeds the grid limit of 32767 pixels";
        }
    }
    qv_set_image_properties(h, width, height, s.supersampling, s.gamma);
    if (width > 0 && (qv_get_image_width(h) != width || qv_get_image_height(h) != height)) {
        // Only a loaded file's unknown supersampling can get here.
        return "--size: " + std::to_string(width) + "x" + std::to_string(height) +
               " exceeds the grid limit of 32767 pixels at the history file's supersampling";
    }
    if (!s.palette.empty()) qv_set_palette(h, s.palette.data());
    if (s.colour_density || s.colour_phase || s.smooth) {
        double density = 1.0, phase = 0.0;
        int smooth = 0;
        qv_get_colour_mapping(h, &density, &phase, &smooth);
        qv_set_colour_mapping(h, s.colour_density.value_or(density), s.colour_phase.value_or(phase),
                              s.smooth ? *s.smooth : smooth);
    }
    if (s.generator >= 0) qv_set_generator_type(h, s.generator);
    if (s.deep_kernel >= 0) qv_set_deep_kernel(h, s.deep_kernel);

    if (s.place) {
        Location place = *s.place;
        if (s.iterations) set_location_iterations(place, *s.iterations);
        qv_restore_location_from(h, &place);
    }
    // Texts of any length and depth; within 192 bits the engine sets the same
    // view as from its 192-bit text and a double radius.
    bool set = true;
    if (!s.load_file && !s.place) {
        set = qv_set_view_from_strings(h, s.centre_x.value_or("-0.5").c_str(),
                                       s.centre_y.value_or("0").c_str(),
                                       s.radius.value_or("1.5").c_str()) == 1;
    } else if (s.centre_x || s.radius) {
        const ExactTexts now = exact_texts(h);
        set = qv_set_view_from_strings(h, s.centre_x.value_or(now.x).c_str(),
                                       s.centre_y.value_or(now.y).c_str(),
                                       s.radius.value_or(now.radius).c_str()) == 1;
    }
    if (!set) {
        if (s.radius && !s.centre_x) return "--radius: '" + *s.radius + "' is out of range";
        return "--centre: the view is out of range";
    }
    if (s.iterations && !s.place && qv_get_maximum_iterations(h) != *s.iterations)
        set_limit(*s.iterations);
    double x = 0, y = 0, radius = 0;
    qv_get_view_params_as_doubles(h, &x, &y, &radius);
    // A radius below the double range reads as 0 here: the exact one is kept.
    if (!std::isfinite(x) || !std::isfinite(y) || !(radius >= 0.0) || !std::isfinite(radius) ||
        exact_texts(h).radius.empty()) {
        if (s.place) return "--place: the stored view is not valid";
        if (s.load_file) return "--load: '" + *s.load_file + "' holds no valid view";
        return "--centre: the view is out of range";
    }
    return {};
}

Target EngineContext::target() const {
    char x[128], y[128];
    Target t;
    qv_get_view_params_as_text(handle_, x, y, &t.radius);
    t.centre_x = x;
    t.centre_y = y;
    t.iterations = qv_get_maximum_iterations(handle_);
    t.width = qv_get_image_width(handle_);
    t.height = qv_get_image_height(handle_);
    ExactTexts exact = exact_texts(handle_);
    t.wide = exact.x != t.centre_x || exact.y != t.centre_y || !std::isnormal(t.radius);
    t.exact_x = std::move(exact.x);
    t.exact_y = std::move(exact.y);
    t.exact_radius = std::move(exact.radius);
    int smooth = 0;
    qv_get_colour_mapping(handle_, &t.colour_density, &t.colour_phase, &smooth);
    t.smooth = smooth != 0;
    return t;
}

void EngineContext::set_limit(uint32_t iterations) {
    // The limit goes through a place record: a factor would round.
    const ExactTexts exact = exact_texts(handle_);
    char x[128], y[128];
    double radius = 0.0;
    qv_get_view_params_as_text(handle_, x, y, &radius);
    const bool within = exact.x == x && exact.y == y && std::isnormal(radius);
    Location location;
    qv_store_location_to(handle_, &location);
    set_location_iterations(location, iterations);
    qv_restore_location_from(handle_, &location);
    // The new view copies the limit.
    if (!within)
        qv_set_view_from_strings(handle_, exact.x.c_str(), exact.y.c_str(), exact.radius.c_str());
}

bool EngineContext::show_exact(const std::string& x, const std::string& y,
                               const std::string& radius, uint32_t iterations) {
    if (qv_set_view_from_strings(handle_, x.c_str(), y.c_str(), radius.c_str()) != 1) return false;
    if (qv_get_maximum_iterations(handle_) != iterations) set_limit(iterations);
    return true;
}

void EngineContext::show(const std::string& x, const std::string& y, double radius,
                         uint32_t iterations) {
    qv_set_view_params_from_text(handle_, x.c_str(), y.c_str(), radius);
    Location location;
    qv_store_location_to(handle_, &location);
    set_location_iterations(location, iterations);
    qv_restore_location_from(handle_, &location);
}

EngineContext::Outcome EngineContext::compute(bool progress_bar) {
    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    while (qv_refine_image(handle_)) {
        if (!progress_bar) continue;
        float progress = qv_get_progress(handle_);
        if (!(progress >= 0.0f)) progress = 0.0f;
        char tail[64];
        std::snprintf(tail, sizeof tail, "%7.1f s  efficiency %5.1f%%", seconds(),
                      qv_get_cleverness(handle_) * 100.0);
        draw_bar(std::min(progress, 1.0f) * 100.0, 100.0, tail);
    }
    return {seconds(), qv_get_cleverness(handle_)};
}

void draw_bar(double done, double total, const std::string& tail) {
    constexpr int kBarWidth = 30;
    const double share = total > 0 ? std::clamp(done / total, 0.0, 1.0) : 0.0;
    const int filled = static_cast<int>(share * kBarWidth + 0.5);
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %5.1f%%  %s\x1b[K", bar, share * 100.0, tail.c_str());
    std::fflush(stderr);
}

}  // namespace quorvel::render
