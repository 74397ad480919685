#include "movie.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "exact_text.h"

namespace quorvel::render {

ZoomPlan::ZoomPlan(int count, double from_radius, double to_radius, uint32_t from_iterations,
                   uint32_t to_iterations)
    : count_(count),
      from_radius_(from_radius),
      to_radius_(to_radius),
      from_iterations_(from_iterations),
      to_iterations_(to_iterations) {}

namespace {

// The double a radius text gives, or 0 when it is no normal double.
double normal_double(const std::string& text) {
    const std::optional<double> value =
        text.find('x') != std::string::npos ? common::hex_to_double(text)
        : common::is_plain_decimal(text) ? std::optional<double>(std::strtod(text.c_str(), nullptr))
                                         : std::nullopt;
    return value && std::isnormal(*value) ? *value : 0.0;
}

}  // namespace

ZoomPlan::ZoomPlan(int count, const std::string& from_radius, const std::string& to_radius,
                   uint32_t from_iterations, uint32_t to_iterations)
    : ZoomPlan(count, normal_double(from_radius), normal_double(to_radius), from_iterations,
               to_iterations) {
    // Texts that a double holds exactly stay on the doubles' path.
    beyond_doubles_ = from_radius_ == 0.0 || to_radius_ == 0.0;
    from_text_ = from_radius;
    to_text_ = to_radius;
    from_log10_ = common::log10_of_text(from_radius).value_or(0.0L);
    to_log10_ = common::log10_of_text(to_radius).value_or(0.0L);
}

FrameView ZoomPlan::frame(int index) const {
    if (beyond_doubles_) {
        const bool last = count_ <= 1 || index >= count_ - 1;
        const long double t =
            last ? 1.0L : static_cast<long double>(index) / static_cast<long double>(count_ - 1);
        const long double log10 = from_log10_ + (to_log10_ - from_log10_) * t;
        FrameView view{0.0, 0,
                       last         ? to_text_
                       : index == 0 ? from_text_
                                    : common::decimal_of_log10(log10)};
        // Just below 2 the movie keeps its centre, as on the doubles' path.
        if (log10 >= std::log10(2.0L)) view.radius_text = "1.9999999999999998";
        if (log10 > -300.0L) view.radius = std::strtod(view.radius_text.c_str(), nullptr);
        if (!std::isnormal(view.radius)) view.radius = 0.0;
        const double limit =
            from_iterations_ +
            (static_cast<double>(to_iterations_) - from_iterations_) * static_cast<double>(t);
        view.iterations = last ? to_iterations_ : static_cast<uint32_t>(std::llround(limit));
        return view;
    }
    if (count_ <= 1 || index >= count_ - 1) return {to_radius_, to_iterations_, {}};
    const double t = static_cast<double>(index) / (count_ - 1);
    double radius =
        index == 0 ? from_radius_ : from_radius_ * std::pow(to_radius_ / from_radius_, t);
    // The engine shows the whole set, centred on 0, from radius 2 up; just
    // below it the movie keeps its centre.
    if (radius >= 2.0) radius = std::nextafter(2.0, 0.0);
    const double limit =
        from_iterations_ + (static_cast<double>(to_iterations_) - from_iterations_) * t;
    return {radius, static_cast<uint32_t>(std::llround(limit)), {}};
}

std::string frame_path(const std::string& pattern, int index) {
    // Built as a string, not printed into a buffer: a width of up to 99 makes
    // a name of any length, and the pattern never becomes a format string.
    std::string name;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            name += pattern[i];
            continue;
        }
        if (++i < pattern.size() && pattern[i] == '%') {
            name += '%';
            continue;
        }
        const bool zeros = i < pattern.size() && pattern[i] == '0';
        if (zeros) ++i;
        size_t width = 0;
        for (; i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9'; ++i)
            width = width * 10 + static_cast<size_t>(pattern[i] - '0');
        // i is at the 'd' is_frame_pattern requires; frame numbers are never
        // negative.
        const std::string digits = std::to_string(index);
        name += std::string(width > digits.size() ? width - digits.size() : 0, zeros ? '0' : ' ');
        name += digits;
    }
    return name;
}

}  // namespace quorvel::render
