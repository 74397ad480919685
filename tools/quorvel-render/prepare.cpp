#include "prepare.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "coordinates.h"
#include "exact_text.h"
#include "png_view.h"
#include "regular_file.h"

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

// Reads exactly `count` bytes at `offset` of a regular file; false with a
// reason otherwise (a FIFO is refused, never waited on).
bool read_bytes(const std::string& path, size_t offset, size_t count, uint8_t* out,
                std::string& reason) {
    std::string problem;
    const int fd = common::open_regular_file(path, problem);
    if (fd < 0) {
        reason = "cannot read '" + path + "': " + problem;
        return false;
    }
    struct stat info;
    const off_t size = fstat(fd, &info) == 0 ? info.st_size : 0;
    if (static_cast<uint64_t>(size) < offset + count) {
        close(fd);
        reason = "'" + path + "' is too short (" + std::to_string(size) + " bytes, needs " +
                 std::to_string(offset + count) + ")";
        return false;
    }
    size_t done = 0;
    while (done < count) {
        const ssize_t n = pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (done == count) return true;
    reason = "cannot read '" + path + "'";
    return false;
}

// --palette: the 768 bytes of the palette file.
std::string read_given_palette(const Options& o, Plan& plan) {
    if (!o.palette) return {};
    std::string reason;
    plan.setup.palette.resize(kPaletteBytes);
    if (!read_bytes(*o.palette, 0, kPaletteBytes, plan.setup.palette.data(), reason))
        return "--palette: " + reason;
    plan.palette_name = *o.palette;
    return {};
}

// --place picture.png: the view the picture carries (checked by the rules of
// the command line when it was read) and, unless --palette was given, the
// palette it names (one that cannot be read only warns).
std::string take_picture_view(const Options& o, const PictureView& picture, Plan& plan) {
    Setup& s = plan.setup;
    const common::ViewText& view = picture.view;
    if (!view.exact_x.empty()) {
        s.centre_x = view.exact_x;
        s.centre_y = view.exact_y;
        s.radius = view.radius_text;
    } else if (!view.radius_text.empty()) {
        s.centre_x = view.centre_x;
        s.centre_y = view.centre_y;
        s.radius = view.radius_text;
    } else {
        // %.17g gives the double back exactly.
        char radius[64];
        std::snprintf(radius, sizeof radius, "%.17g", view.radius);
        s.centre_x = view.centre_x;
        s.centre_y = view.centre_y;
        s.radius = radius;
    }
    s.iterations = view.iterations;
    if (o.palette || view.palette.empty()) return {};
    std::string reason;
    s.palette.resize(kPaletteBytes);
    if (read_bytes(view.palette, 0, kPaletteBytes, s.palette.data(), reason)) {
        plan.palette_name = view.palette;
    } else {
        std::fprintf(stderr, "%s: the picture's palette is not usable (%s)\n", kProgram,
                     reason.c_str());
        s.palette.clear();
    }
    return {};
}

// --place file --slot n: one stored location of a places file.
std::string take_place_slot(const Options& o, Setup& s) {
    Location place{};
    static_assert(sizeof(Location) == kLocationBytes);
    std::string reason;
    if (!read_bytes(*o.place_file, static_cast<size_t>(o.place_slot) * kLocationBytes,
                    kLocationBytes, reinterpret_cast<uint8_t*>(&place), reason))
        return "--place: " + reason;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&place);
    if (std::all_of(bytes, bytes + kLocationBytes, [](uint8_t b) { return b == 0; })) {
        return "--place: slot " + std::to_string(o.place_slot) + " of '" + *o.place_file +
               "' is empty";
    }
    s.place = place;
    return {};
}

// --place in either form; the picture, if it is one, for the sizes.
std::string take_place(const Options& o, Plan& plan, std::optional<PictureView>& picture) {
    if (!o.place_file) return {};
    if (!is_png_file(*o.place_file)) return take_place_slot(o, plan.setup);
    std::string reason;
    picture = read_png_view(*o.place_file, reason);
    if (!picture) return "--place: " + reason;
    return take_picture_view(o, *picture, plan);
}

// --centre: decimal or hexadecimal text goes to the engine as it is, which
// reads every digit.
std::string take_centre(const Options& o, Setup& s) {
    if (!o.centre_x) return {};
    s.centre_x = o.centre_x;
    s.centre_y = o.centre_y;
    return {};
}

// The picture's size, supersampling and gamma: given ones first, then the
// picture's, then the defaults of a fresh view. -1 leaves a loaded history's.
std::string fill_picture_properties(const Options& o, const std::optional<PictureView>& picture,
                                    Setup& s) {
    const bool fresh = !o.load_file;
    // A picture's view is rendered again at the picture's size.
    s.width = o.width.value_or(fresh ? (picture ? picture->width : 600) : -1);
    s.height = o.height.value_or(fresh ? (picture ? picture->height : 600) : -1);
    const common::ViewText* view = picture ? &picture->view : nullptr;
    s.supersampling = o.supersampling.value_or(view && view->supersampling > 0 ? view->supersampling
                                                                               : (fresh ? 1 : -1));
    s.gamma = o.gamma.value_or(view && view->gamma > 0 ? view->gamma : (fresh ? 1.75f : -1.0f));
    if (int64_t{s.width} * s.supersampling > kMaxGrid ||
        int64_t{s.height} * s.supersampling > kMaxGrid) {
        return "--supersampling: " + std::to_string(s.supersampling) + " at " +
               std::to_string(s.width) + "x" + std::to_string(s.height) +
               " exceeds the grid limit of 32767 pixels";
    }
    return {};
}

}  // namespace

std::string prepare(const Options& o, Plan& plan) {
    Setup& s = plan.setup;
    std::optional<PictureView> picture;
    std::string error = read_given_palette(o, plan);
    if (error.empty()) error = take_place(o, plan, picture);
    if (!error.empty()) return error;
    if (o.load_file) {
        std::string problem;
        const int fd = common::open_regular_file(*o.load_file, problem);
        if (fd < 0) return "--load: cannot read '" + *o.load_file + "': " + problem;
        close(fd);
        s.load_file = o.load_file;
    }
    error = take_centre(o, s);
    if (!error.empty()) return error;
    if (o.radius) s.radius = o.radius;
    if (o.iterations) s.iterations = o.iterations;
    error = fill_picture_properties(o, picture, s);
    if (!error.empty()) return error;
    s.generator = o.generator.value_or(-1);
    s.deep_kernel = o.deep_kernel.value_or(-1);
    // The mapping a picture carries, unless given.
    const common::ViewText* view = picture ? &picture->view : nullptr;
    s.colour_density = o.colour_density;
    s.colour_phase = o.colour_phase;
    if (o.smooth) s.smooth = true;
    if (view && !view->plain_mapping()) {
        if (!s.colour_density) s.colour_density = view->colour_density;
        if (!s.colour_phase) s.colour_phase = view->colour_phase;
        if (!s.smooth) s.smooth = view->smooth;
    }
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

void warn_about_digits(const Options& o, const Target& t) {
    if (!o.centre_x) return;
    const long double radius_log10 = common::log10_of_text(t.exact_radius).value_or(0.0L);
    for (const std::string* text : {&*o.centre_x, &*o.centre_y}) {
        if (text->find('x') != std::string::npos) continue;
        const DigitCount digits = count_digits_at(*text, radius_log10);
        if (digits.given >= digits.needed) continue;
        std::fprintf(stderr,
                     "%s: warning: --centre '%s' has %d significant digits, but radius %s needs "
                     "about %d; unless it is exact as written, the picture shows another place\n",
                     kProgram, text->c_str(), digits.given, readable_radius(t).c_str(),
                     digits.needed);
    }
}

}  // namespace quorvel::render
