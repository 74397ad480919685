#include "prepare.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "coordinates.h"
#include "png_view.h"

namespace quorvel::render {
namespace {

constexpr size_t kPaletteBytes = 768;
constexpr size_t kLocationBytes = 100;

std::string program_folder() {
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return ".";
    std::string path(buffer.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Reads exactly `count` bytes at `offset`; false with a reason otherwise.
bool read_bytes(const std::string& path, size_t offset, size_t count, uint8_t* out,
                std::string& reason) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        reason = std::string("cannot read '") + path + "': " + std::strerror(errno);
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<size_t>(size) < offset + count) {
        reason = "'" + path + "' is too short (" + std::to_string(size < 0 ? 0 : size) +
                 " bytes, needs " + std::to_string(offset + count) + ")";
        return false;
    }
    file.seekg(static_cast<std::streamoff>(offset));
    if (!file.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count))) {
        reason = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace

std::string prepare(const Options& o, Plan& plan) {
    Setup& s = plan.setup;
    std::string reason;
    if (o.palette) {
        s.palette.resize(kPaletteBytes);
        if (!read_bytes(*o.palette, 0, kPaletteBytes, s.palette.data(), reason))
            return "--palette: " + reason;
        plan.palette_name = *o.palette;
    }
    std::optional<common::ViewText> picture;
    int picture_width = 600, picture_height = 600;
    if (o.place_file && is_png_file(*o.place_file)) {
        const auto read = read_png_view(*o.place_file, reason);
        if (!read) return "--place: " + reason;
        picture = read->view;
        picture_width = read->width;
        picture_height = read->height;
        if (!is_big_float_text(picture->centre_x) || !is_big_float_text(picture->centre_y) ||
            !(picture->radius <= 2.0))
            return "--place: the view in '" + *o.place_file + "' is damaged";
        s.centre_x = picture->centre_x;
        s.centre_y = picture->centre_y;
        s.radius = picture->radius;
        s.iterations = picture->iterations;
        if (!o.palette && !picture->palette.empty()) {
            s.palette.resize(kPaletteBytes);
            if (read_bytes(picture->palette, 0, kPaletteBytes, s.palette.data(), reason)) {
                plan.palette_name = picture->palette;
            } else {
                std::fprintf(stderr, "%s: the picture's palette is not usable (%s)\n", kProgram,
                             reason.c_str());
                s.palette.clear();
            }
        }
    } else if (o.place_file) {
        Location place{};
        static_assert(sizeof(Location) == kLocationBytes);
        if (!read_bytes(*o.place_file, static_cast<size_t>(o.place_slot) * kLocationBytes,
                        kLocationBytes, reinterpret_cast<uint8_t*>(&place), reason))
            return "--place: " + reason;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&place);
        if (std::all_of(bytes, bytes + kLocationBytes, [](uint8_t b) { return b == 0; })) {
            return "--place: slot " + std::to_string(o.place_slot) + " of '" + *o.place_file +
                   "' is empty";
        }
        s.place = place;
    }
    if (o.load_file) {
        std::ifstream probe(*o.load_file, std::ios::binary);
        if (!probe) return "--load: cannot read '" + *o.load_file + "': " + std::strerror(errno);
        s.load_file = o.load_file;
    }
    if (o.centre_x) {
        for (auto [given, out] :
             {std::pair{&*o.centre_x, &s.centre_x}, {&*o.centre_y, &s.centre_y}}) {
            if (is_big_float_text(*given)) {
                *out = *given;
                continue;
            }
            *out = decimal_to_engine_text(*given);
            if (!*out) return "--centre: '" + *given + "' is not a decimal number";
        }
    }
    if (o.radius) s.radius = o.radius;
    if (o.iterations) s.iterations = o.iterations;

    const bool fresh = !o.load_file;
    // A picture's view is rendered again at the picture's size.
    s.width = o.width.value_or(fresh ? picture_width : -1);
    s.height = o.height.value_or(fresh ? picture_height : -1);
    s.supersampling = o.supersampling.value_or(
        picture && picture->supersampling > 0 ? picture->supersampling : (fresh ? 1 : -1));
    s.gamma =
        o.gamma.value_or(picture && picture->gamma > 0 ? picture->gamma : (fresh ? 1.75f : -1.0f));
    if (int64_t{s.width} * s.supersampling > kMaxGrid ||
        int64_t{s.height} * s.supersampling > kMaxGrid) {
        return "--supersampling: " + std::to_string(s.supersampling) + " at " +
               std::to_string(s.width) + "x" + std::to_string(s.height) +
               " exceeds the grid limit of 32767 pixels";
    }
    s.generator = o.generator.value_or(-1);
    s.deep_kernel = o.deep_kernel.value_or(-1);
    return {};
}

void default_palette(Setup& s) {
    if (!s.palette.empty() || s.load_file) return;
    s.palette.resize(kPaletteBytes);
    std::string reason;
    // Beside the program in a build; in ../share/quorvel once installed.
    const std::string folder = program_folder();
    if (!read_bytes(folder + "/def.pal", 0, kPaletteBytes, s.palette.data(), reason) &&
        !read_bytes(folder + "/../share/quorvel/def.pal", 0, kPaletteBytes, s.palette.data(),
                    reason)) {
        std::fprintf(stderr, "%s: no usable def.pal beside the program; using a grey ramp\n",
                     kProgram);
        for (size_t i = 0; i < kPaletteBytes; ++i) s.palette[i] = static_cast<uint8_t>(i / 3);
    }
}

void warn_about_digits(const Options& o, double radius) {
    if (!o.centre_x) return;
    for (const std::string* text : {&*o.centre_x, &*o.centre_y}) {
        if (is_big_float_text(*text)) continue;
        const DigitCount digits = count_digits(*text, radius);
        if (digits.given >= digits.needed) continue;
        std::fprintf(stderr,
                     "%s: warning: --centre '%s' has %d significant digits, but radius %g needs "
                     "about %d; unless it is exact as written, the picture shows another place\n",
                     kProgram, text->c_str(), digits.given, radius, digits.needed);
    }
}

}  // namespace quorvel::render
