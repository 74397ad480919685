#include "options.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "exact_text.h"
#include "view_text.h"

namespace quorvel::render {
namespace {

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    out.append(text);
    out.push_back('\'');
    return out;
}

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    text.remove_prefix(text.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

// One option: its names, how many values follow it, and what it does with
// them. A handler returns an error message, empty when the values are good.
struct OptionRule {
    const char* name;
    const char* alias;
    int values;
    std::string (*apply)(Options& o, const std::string* v);
};

std::string apply_centre(Options& o, const std::string* v) {
    for (int k = 0; k < 2; ++k) {
        if (!common::is_centre_value(v[k])) {
            return "--centre: " + quoted(v[k]) +
                   " is neither a decimal number nor hexadecimal text like +B.Ex-1";
        }
    }
    o.centre_x = v[0];
    o.centre_y = v[1];
    return {};
}

std::string apply_radius(Options& o, const std::string* v) {
    if (!common::read_radius_log10(*v))
        return "--radius: " + quoted(*v) +
               " is not a number above 0 (like 0.5, 2e-1086 or +8.0x-40)";
    o.radius = *v;
    return {};
}

std::string apply_iterations(Options& o, const std::string* v) {
    o.iterations = common::read_iterations(*v);
    if (!o.iterations)
        return "--iterations: " + quoted(*v) + " is not a whole number from 2 to 4294967295";
    return {};
}

constexpr const char* kSizeRule = " is not WIDTHxHEIGHT with sides from 1 to 32767";

std::string apply_size(Options& o, const std::string* v) {
    const size_t x = v->find('x');
    if (x == std::string::npos) return "--size: " + quoted(*v) + kSizeRule;
    o.width = common::read_whole_number<int>(std::string_view(*v).substr(0, x), 1, kMaxGrid);
    o.height = common::read_whole_number<int>(std::string_view(*v).substr(x + 1), 1, kMaxGrid);
    if (!o.width || !o.height) return "--size: " + quoted(*v) + kSizeRule;
    return {};
}

std::string apply_supersampling(Options& o, const std::string* v) {
    o.supersampling = common::read_supersampling(*v);
    if (!o.supersampling)
        return "--supersampling: " + quoted(*v) + " is not a whole number from 1 to 8";
    return {};
}

std::string apply_gamma(Options& o, const std::string* v) {
    o.gamma = common::read_gamma(*v);
    if (!o.gamma) return "--gamma: " + quoted(*v) + " is not a number above 0 and at most 100";
    return {};
}

std::string apply_generator(Options& o, const std::string* v) {
    static constexpr const char* kNames[] = {"contour", "box", "brute"};
    for (int type = 0; type < 3; ++type) {
        if (*v == kNames[type]) {
            o.generator = type;
            return {};
        }
    }
    return "--generator: " + quoted(*v) + " is not one of contour, box, brute";
}

std::string apply_deep_kernel(Options& o, const std::string* v) {
    static constexpr const char* kNames[] = {"auto", "exact", "perturbation", "plain"};
    for (int mode = 0; mode < 4; ++mode) {
        if (*v == kNames[mode]) {
            o.deep_kernel = mode;
            return {};
        }
    }
    return "--deep-kernel: " + quoted(*v) + " is not one of auto, exact, perturbation, plain";
}

std::string apply_palette(Options& o, const std::string* v) {
    o.palette = *v;
    return {};
}

std::string apply_place(Options& o, const std::string* v) {
    // FILE or FILE:SLOT; a colon followed by anything but digits is part of the name.
    const size_t colon = v->rfind(':');
    std::string file = *v;
    int slot = 0;
    if (colon != std::string::npos && colon + 1 < v->size() &&
        std::strspn(v->c_str() + colon + 1, "0123456789") == v->size() - colon - 1) {
        const auto given = common::read_whole_number<int>(std::string_view(*v).substr(colon + 1), 0,
                                                          kPlaceSlots - 1);
        if (!given) return "--place: slot in " + quoted(*v) + " is not from 0 to 11";
        slot = *given;
        file = v->substr(0, colon);
    }
    if (file.empty()) return "--place: " + quoted(*v) + " names no file";
    o.place_file = file;
    o.place_slot = slot;
    return {};
}

std::string apply_load(Options& o, const std::string* v) {
    o.load_file = *v;
    return {};
}

std::string apply_out(Options& o, const std::string* v) {
    if (ends_with_ignoring_case(*v, ".png")) {
        o.format = ImageFormat::png;
    } else if (ends_with_ignoring_case(*v, ".tga")) {
        o.format = ImageFormat::tga;
    } else {
        return "--out: " + quoted(*v) + " does not end in .png or .tga";
    }
    o.out = *v;
    return {};
}

std::string apply_zoom_frames(Options& o, const std::string* v) {
    o.zoom_frames = common::read_whole_number<int>(*v, 1, kMaxFrames);
    if (!o.zoom_frames)
        return "--zoom-frames: " + quoted(*v) + " is not a whole number from 1 to 1000000";
    return {};
}

std::string apply_zoom_from(Options& o, const std::string* v) {
    const std::optional<long double> log10 = common::read_radius_log10(*v);
    if (!log10 || *log10 > std::log10(2.0L))
        return "--zoom-from: " + quoted(*v) + " is not a radius above 0 and at most 2";
    o.zoom_from = *v;
    return {};
}

std::string apply_iterations_from(Options& o, const std::string* v) {
    o.iterations_from = common::read_iterations(*v);
    if (!o.iterations_from)
        return "--iterations-from: " + quoted(*v) + " is not a whole number from 2 to 4294967295";
    return {};
}

std::string apply_frames(Options& o, const std::string* v) {
    const size_t colon = v->find(':');
    const std::string_view text(*v);
    const auto first = common::read_whole_number<int>(text.substr(0, colon), 0, kMaxFrames - 1);
    const auto last = colon == std::string::npos ? std::nullopt
                                                 : common::read_whole_number<int>(
                                                       text.substr(colon + 1), 0, kMaxFrames - 1);
    if (!first || !last || *last < *first)
        return "--frames: " + quoted(*v) + " is not A:B with whole numbers 0 <= A <= B";
    o.frames = FrameRange{*first, *last};
    return {};
}

std::string apply_video(Options& o, const std::string* v) {
    if (v->empty()) return "--video: names no file";
    o.video = *v;
    return {};
}

std::string apply_jobs(Options& o, const std::string* v) {
    o.jobs = common::read_whole_number<int>(*v, 1, kMaxJobs);
    if (!o.jobs) return "--jobs: " + quoted(*v) + " is not a whole number from 1 to 1024";
    return {};
}

constexpr OptionRule kRules[] = {
    {"--centre", "--center", 2, apply_centre},
    {"--radius", nullptr, 1, apply_radius},
    {"--iterations", nullptr, 1, apply_iterations},
    {"--size", nullptr, 1, apply_size},
    {"--supersampling", nullptr, 1, apply_supersampling},
    {"--gamma", nullptr, 1, apply_gamma},
    {"--generator", nullptr, 1, apply_generator},
    {"--deep-kernel", nullptr, 1, apply_deep_kernel},
    {"--palette", nullptr, 1, apply_palette},
    {"--place", nullptr, 1, apply_place},
    {"--load", nullptr, 1, apply_load},
    {"--out", "-o", 1, apply_out},
    {"--zoom-frames", nullptr, 1, apply_zoom_frames},
    {"--zoom-from", nullptr, 1, apply_zoom_from},
    {"--iterations-from", nullptr, 1, apply_iterations_from},
    {"--frames", nullptr, 1, apply_frames},
    {"--video", nullptr, 1, apply_video},
    {"--jobs", "-j", 1, apply_jobs},
};

const OptionRule* find_rule(std::string_view name) {
    for (const OptionRule& rule : kRules) {
        if (name == rule.name || (rule.alias != nullptr && name == rule.alias)) return &rule;
    }
    return nullptr;
}

// Checks that need several options together.
std::string check_combination(const Options& o) {
    if (o.place_file && o.load_file) return "--place: cannot be combined with --load";
    const int factor = o.supersampling.value_or(1);
    if (o.width && int64_t{*o.width} * factor > kMaxGrid) {
        return "--size: width " + std::to_string(*o.width) + " at supersampling " +
               std::to_string(factor) + " exceeds the grid limit of 32767 pixels";
    }
    if (o.height && int64_t{*o.height} * factor > kMaxGrid) {
        return "--size: height " + std::to_string(*o.height) + " at supersampling " +
               std::to_string(factor) + " exceeds the grid limit of 32767 pixels";
    }
    if (o.zoom_frames) {
        if (!is_frame_pattern(o.out))
            return "--out: " + quoted(o.out) +
                   " has no frame number like %05d (needed with --zoom-frames)";
        if (o.frames && o.frames->last >= *o.zoom_frames)
            return "--frames: " + std::to_string(o.frames->first) + ":" +
                   std::to_string(o.frames->last) + " goes past the last frame, " +
                   std::to_string(*o.zoom_frames - 1);
        if (o.video && o.format != ImageFormat::png)
            return "--video: the frames must be PNG pictures";
    } else {
        const char* movie_only = o.frames            ? "--frames"
                                 : o.video           ? "--video"
                                 : o.iterations_from ? "--iterations-from"
                                 : o.zoom_from       ? "--zoom-from"
                                                     : nullptr;
        if (movie_only != nullptr) return std::string(movie_only) + ": needs --zoom-frames";
    }
    return {};
}

}  // namespace

bool is_frame_pattern(const std::string& text) {
    int conversions = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        ++i;
        if (i < text.size() && text[i] == '%') continue;
        if (i < text.size() && text[i] == '0') ++i;
        size_t width = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && width < 2) ++i, ++width;
        if (i >= text.size() || text[i] != 'd') return false;
        ++conversions;
    }
    return conversions == 1;
}

ParseResult parse_options(int argc, const char* const* argv) {
    ParseResult result;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            result.options.help = true;
            return result;
        }
        const OptionRule* rule = find_rule(name);
        if (rule == nullptr) {
            result.error =
                quoted(name) + (name.starts_with("-") ? ": unknown option (see --help)"
                                                      : ": unexpected argument (see --help)");
            return result;
        }
        if (i + rule->values >= argc) {
            result.error = std::string(name) + ": missing value";
            return result;
        }
        std::string values[2];
        for (int k = 0; k < rule->values; ++k) values[k] = argv[i + 1 + k];
        result.error = rule->apply(result.options, values);
        // Messages name the option as typed, alias or not.
        if (!result.error.empty()) {
            if (rule->alias != nullptr && name == rule->alias)
                result.error.replace(0, std::strlen(rule->name), name);
            return result;
        }
        i += rule->values;
    }
    result.error = check_combination(result.options);
    return result;
}

}  // namespace quorvel::render
