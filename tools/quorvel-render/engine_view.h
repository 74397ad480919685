// One engine context set up from the command line, and the view changes that
// bands and frames make to it. Every worker builds its own with these.
#pragma once

#include <quorvel.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::render {

// The settings resolved from the command line and the files it names.
struct Setup {
    std::vector<uint8_t> palette;  // empty: the loaded history's
    std::optional<Location> place;
    std::optional<std::string> load_file;
    int width = -1, height = -1, supersampling = -1;  // -1: the loaded history's
    float gamma = -1.0f;
    int generator = -1;
    int deep_kernel = -1;  // -1: the engine's default
    // Decimal or hexadecimal texts of any length, which the engine reads exactly.
    std::optional<std::string> centre_x, centre_y;
    std::optional<std::string> radius;
    std::optional<uint32_t> iterations;
    // The colour mapping's parts to set; unset ones keep the context's.
    std::optional<double> colour_density, colour_phase;
    std::optional<bool> smooth;
};

// The view a set-up context shows.
struct Target {
    // The 192-bit centre texts and the double radius, as views within 192 bits
    // have always been written.
    std::string centre_x, centre_y;
    double radius = 2.0;
    uint32_t iterations = 150;
    int width = 0, height = 0;
    // The exact texts of qv_get_view_strings, and whether the view is deeper
    // than the above carry: its exact centre differs from the 192-bit one or
    // its radius is no normal double.
    std::string exact_x, exact_y, exact_radius;
    bool wide = false;
    double colour_density = 1.0, colour_phase = 0.0;
    bool smooth = false;
};

class EngineContext {
public:
    EngineContext();
    ~EngineContext();
    EngineContext(const EngineContext&) = delete;
    EngineContext& operator=(const EngineContext&) = delete;
    qv_handle get() const { return handle_; }

    // Applies the setup; returns a message naming the culprit option when the
    // result is not a usable view.
    std::string configure(const Setup& setup);
    Target target() const;
    // A new view with this exact centre, radius and limit.
    void show(const std::string& x, const std::string& y, double radius, uint32_t iterations);
    // The same for texts of any length and depth; false when the engine
    // refuses them.
    bool show_exact(const std::string& x, const std::string& y, const std::string& radius,
                    uint32_t iterations);

    struct Outcome {
        double seconds = 0;
        float efficiency = 0;
    };
    // Refines until the picture is complete; draws the progress bar when asked.
    Outcome compute(bool progress_bar);

private:
    // The limit through a place record, which rounds a deeper centre to 192
    // bits: the exact view is set again after it.
    void set_limit(uint32_t iterations);

    qv_handle handle_;
};

// The progress bar on standard error: done of total, rate and time left.
void draw_bar(double done, double total, const std::string& tail);

}  // namespace quorvel::render
