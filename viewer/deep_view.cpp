#include "deep_view.h"

#include <algorithm>
#include <cmath>

namespace quorvel::viewer {
namespace {

// Ten decimals, as views within 192 bits print, or enough to tell a
// thousandth of the radius.
int decimals_for(const ExactView& view) {
    const auto exponent = decimal_exponent(view.radius);
    if (!exponent) return 10;
    return static_cast<int>(std::clamp<std::int64_t>(3 - *exponent, 10, kMaxDecimals + 1));
}

}  // namespace

ExactView exact_view(qv_handle handle) {
    const std::size_t size = qv_get_view_strings(handle, nullptr, nullptr, nullptr, 0);
    if (size == 0) return {};
    std::string x(size, '\0'), y(size, '\0'), radius(size, '\0');
    if (qv_get_view_strings(handle, x.data(), y.data(), radius.data(), size) != size) return {};
    for (std::string* text : {&x, &y, &radius}) text->resize(text->find('\0'));
    return {std::move(x), std::move(y), std::move(radius)};
}

std::optional<ExactView> deeper_view(qv_handle handle) {
    ExactView view = exact_view(handle);
    if (view.radius.empty()) return std::nullopt;  // nothing better than the old getters
    char x[64] = "", y[64] = "";
    double radius = 0.0;
    qv_get_view_params_as_text(handle, x, y, &radius);
    if (view.x == x && view.y == y && std::isnormal(radius)) return std::nullopt;
    return view;
}

std::string radius_for_people(const ExactView& view, int digits) {
    const auto radius = hex_to_double(view.radius);
    if (!radius || !std::isnormal(*radius)) return format_hex_scientific(view.radius, digits);
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", digits, *radius);
    return text;
}

void print_deeper_view(const ExactView& view, unsigned iterations, std::FILE* out) {
    const int decimals = decimals_for(view);
    const auto x = hex_to_fixed_decimal(view.x, decimals);
    const auto y = hex_to_fixed_decimal(view.y, decimals);
    if (x && y)
        std::fprintf(out, "mandelbrot center = %s / %s\n", x->c_str(), y->c_str());
    else
        std::fprintf(out, "mandelbrot center = beyond %d decimals, see the exact center\n",
                     kMaxDecimals);
    std::fprintf(out, "exact center = %s / %s\n", view.x.c_str(), view.y.c_str());
    std::fprintf(out, "radius= %s; maximum iteration depth = %u\n",
                 radius_for_people(view, 5).c_str(), iterations);
}

std::string title_depth(qv_handle handle) {
    const auto view = deeper_view(handle);
    return view ? ", radius " + radius_for_people(*view, 2) : std::string();
}

}  // namespace quorvel::viewer
