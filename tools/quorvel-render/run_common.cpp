#include "run_common.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "coordinates.h"
#include "exact_text.h"
#include "view_text.h"

namespace quorvel::render {

int bad_argument(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kExitBadArgument;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kExitFailure;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A deliberate crash of one worker, for the tests of what a dead worker leaves.
bool crash_requested(int task) {
    const char* value = std::getenv("QUORVEL_RENDER_TEST_KILL");
    return value != nullptr && std::atoi(value) == task;
}

std::string chunk_text(const Plan& plan, const Target& t) {
    common::ViewText view;
    view.centre_x = t.centre_x;
    view.centre_y = t.centre_y;
    view.radius = t.radius;
    view.iterations = t.iterations;
    if (t.wide) {
        view.exact_x = t.exact_x;
        view.exact_y = t.exact_y;
        view.radius_text = t.exact_radius;
    }
    view.supersampling = std::max(plan.setup.supersampling, 0);
    view.gamma = std::max(plan.setup.gamma, 0.0f);
    view.palette = plan.palette_name;
    view.colour_density = t.colour_density;
    view.colour_phase = t.colour_phase;
    view.smooth = t.smooth;
    return common::format_view_text(view);
}

std::string readable_radius(const Target& t) {
    char text[64];
    if (std::isnormal(t.radius) || t.exact_radius.empty()) {
        std::snprintf(text, sizeof text, "%g", t.radius);
        return text;
    }
    return common::format_hex_scientific(t.exact_radius, 6);
}

void print_centre(const Target& t) {
    if (t.wide) {
        // A thousandth of a pixel, as far as the digits stay countable.
        const long double pixel_log10 =
            common::log10_of_text(t.exact_radius).value_or(0.0L) + std::log10(2.0L) -
            std::log10(static_cast<long double>(std::max({t.width, t.height, 1})));
        const long double wanted = std::ceil(3.0L - pixel_log10);
        const int decimals =
            static_cast<int>(std::clamp<long double>(wanted, 1.0L, common::kMaxDecimals + 1.0L));
        const auto x = common::hex_to_fixed_decimal(t.exact_x, decimals);
        const auto y = common::hex_to_fixed_decimal(t.exact_y, decimals);
        std::printf("centre x    %s\n", t.exact_x.c_str());
        std::printf("centre y    %s\n", t.exact_y.c_str());
        if (x && y)
            std::printf("decimal     %s %s\n", x->c_str(), y->c_str());
        else
            std::printf("decimal     beyond %d digits, see the exact centre\n",
                        common::kMaxDecimals);
        std::printf("radius      %s\n", common::format_hex_scientific(t.exact_radius, 10).c_str());
        std::printf("radius hex  %s\n", t.exact_radius.c_str());
        std::printf("iterations  %u\n", t.iterations);
        return;
    }
    const int decimals = decimals_for_view(t.radius, std::max(t.width, t.height));
    std::printf("centre x    %s\n", t.centre_x.c_str());
    std::printf("centre y    %s\n", t.centre_y.c_str());
    std::printf("decimal     %s %s\n", engine_text_to_decimal(t.centre_x, decimals).c_str(),
                engine_text_to_decimal(t.centre_y, decimals).c_str());
    std::printf("radius      %.17g\n", t.radius);
    std::printf("iterations  %u\n", t.iterations);
}

int finish_stdout() { return std::fflush(stdout) == 0 ? 0 : kExitFailure; }

}  // namespace quorvel::render
