#include "run_common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "coordinates.h"
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

std::string chunk_text(const Plan& plan, const std::string& x, const std::string& y, double radius,
                       uint32_t iterations) {
    common::ViewText view;
    view.centre_x = x;
    view.centre_y = y;
    view.radius = radius;
    view.iterations = iterations;
    view.supersampling = std::max(plan.setup.supersampling, 0);
    view.gamma = std::max(plan.setup.gamma, 0.0f);
    view.palette = plan.palette_name;
    return common::format_view_text(view);
}

void print_centre(const Target& t) {
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
