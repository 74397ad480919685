// Feeds arbitrary bytes to the places text file's parser. A refused input must
// leave the places as they were and say why; an accepted one must be written
// back byte for byte and read again to the same places, and its numbers must
// convert alike through the viewer's own decimal code and the C library's.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hex_text.h"
#include "places_text.h"

namespace {

using namespace quorvel::viewer;

// The fixed decimals of a value within a million agree with the C library's
// reading of the same text to within what 30 decimals and a double can hold.
void check_decimals(const std::string& hex) {
    const auto value = hex_to_double(hex);
    if (!value || !(std::fabs(*value) < 1e6)) return;
    const auto decimal = hex_to_fixed_decimal(hex, 30);
    if (!decimal) __builtin_trap();
    const double read = std::strtod(decimal->c_str(), nullptr);
    if (std::fabs(read - *value) > 1e-29 + 1e-15 * std::fabs(*value)) __builtin_trap();
    if (*value != 0.0 && std::isnormal(*value)) {
        const double scientific = std::strtod(format_hex_scientific(hex, 17).c_str(), nullptr);
        if (std::fabs(scientific / *value - 1.0) > 1e-12) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // No parse yields this slot: a refusal must leave it.
    PlaceTexts places;
    places[3] = PlaceText{{"not", "a", "place"}, 1};
    const PlaceTexts before = places;
    std::string problem;
    if (!parse_places_text(text, places, problem)) {
        if (places != before || problem.empty()) __builtin_trap();
        return 0;
    }
    const std::string written = format_places_text(places);
    if (written != text) __builtin_trap();  // the form is strict: one text per set of places
    PlaceTexts again;
    if (!parse_places_text(written, again, problem) || again != places) __builtin_trap();
    for (const auto& place : places) {
        if (!place) continue;
        if (place->iterations < 2 || !is_positive_hex_text(place->view.radius)) __builtin_trap();
        if (format_hex_scientific(place->view.radius, 5).empty()) __builtin_trap();
        check_decimals(place->view.x);
        check_decimals(place->view.y);
        check_decimals(place->view.radius);
    }
    return 0;
}
