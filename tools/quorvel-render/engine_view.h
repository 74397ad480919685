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
    std::optional<std::string> centre_x, centre_y;  // engine text, exact
    std::optional<double> radius;
    std::optional<uint32_t> iterations;
};

// The view a set-up context shows.
struct Target {
    std::string centre_x, centre_y;
    double radius = 2.0;
    uint32_t iterations = 150;
    int width = 0, height = 0;
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

    struct Outcome {
        double seconds = 0;
        float efficiency = 0;
    };
    // Refines until the picture is complete; draws the progress bar when asked.
    Outcome compute(bool progress_bar);

private:
    qv_handle handle_;
};

// The progress bar on standard error: done of total, rate and time left.
void draw_bar(double done, double total, const std::string& tail);

}  // namespace quorvel::render
