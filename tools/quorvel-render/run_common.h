// What the parts of quorvel-render share: messages and exit statuses, the
// resolved command line, the view text of a picture and the summary.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "engine_view.h"

namespace quorvel::render {

inline constexpr const char* kProgram = "quorvel-render";
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadArgument = 2;

// Print "quorvel-render: message" on standard error; return the exit status.
int bad_argument(const std::string& message);
int failure(const std::string& message);

double seconds_since(std::chrono::steady_clock::time_point start);

// A deliberate crash of one worker, for the tests of what a dead worker
// leaves: QUORVEL_RENDER_TEST_KILL names the task.
bool crash_requested(int task);

// Everything resolved before any work, plus what the pictures say about it.
struct Plan {
    Setup setup;
    std::string palette_name;  // as given, for the view chunk
};

// The text of a picture's view chunk; a deeper view's exact texts included.
std::string chunk_text(const Plan& plan, const Target& t);

// The summary's first lines: the centre in hexadecimal and in decimal (with
// just enough digits for the view), the radius and the limit. A deeper view
// prints its exact texts, decimals to a thousandth of a pixel, and its radius
// readable ("1.2e-1234") besides its exact text.
void print_centre(const Target& t);
// The radius for messages: %g of a normal double, else from the exact text.
std::string readable_radius(const Target& t);
// Flushes the summary; the exit status.
int finish_stdout();

}  // namespace quorvel::render
