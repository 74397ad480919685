// quorvel-render: renders one view of the Mandelbrot set into a PNG or TGA
// picture without a window, through the engine's public interface only.
#include <quorvel.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "image_file.h"
#include "options.h"

namespace quorvel::render {
namespace {

constexpr const char* kProgram = "quorvel-render";
constexpr int kExitFailure = 1;
constexpr int kExitBadArgument = 2;
constexpr int kMemoryMegabytes = 64;
constexpr size_t kPaletteBytes = 768;
constexpr size_t kLocationBytes = 100;
constexpr size_t kIterationsOffset = 96;

constexpr const char* kHelp =
    R"(NAME
    quorvel-render - render a view of the Mandelbrot set into a picture file

SYNOPSIS
    quorvel-render [--centre X Y] [--radius R] [--iterations N] [--size WxH]
                   [--supersampling F] [--gamma G] [--generator contour|box|brute]
                   [--deep-kernel auto|exact|perturbation] [--palette FILE]
                   [--place FILE[:SLOT] | --load FILE] [--out FILE]
    quorvel-render --help

DESCRIPTION
    Computes one view with the quorvel engine, without a window, and writes it
    as a PNG or uncompressed 24-bit TGA picture. Deep views are computed with
    the engine's 192-bit arithmetic; give their centre in hexadecimal text so
    it is exact.

    While it computes, a progress bar on standard error shows the engine's
    progress, the elapsed time and the efficiency (the share of pixels found
    without iterating them); when standard error is not a terminal, one line is
    printed at the end instead. Finally the centre (in hexadecimal text), the
    radius, the iteration limit, the seconds and the efficiency are printed on
    standard output.

OPTIONS
    --centre X Y
        Centre of the view, real part X and imaginary part Y. Each is a decimal
        number (-0.743643887037151) or the engine's hexadecimal text form
        (-B.E5F721EB1E3C8x-1: hexadecimal digits with a point, a lower-case x
        and the binary exponent of the first digit's top bit), which keeps all
        192 bits. Default -0.5 0.
    --radius R
        Half the extent of the view along its longer side; above 0 and at most
        2. A radius of 2 shows the whole set, centred on 0. Default 1.5.
    --iterations N
        Iteration limit, 2 to 4294967295. Default 150, or the limit stored in
        the place or history file.
    --size WxH
        Picture size in pixels. Default 600x600.
    --supersampling F
        Samples per pixel along each axis, 1 to 8. The computed grid, W*F by
        H*F, may be at most 32767 along each side. Default 1.
    --gamma G
        Gamma used when averaging supersamples. Default 1.75.
    --generator contour|box|brute
        Strategy: contour tracing (default), box matching or brute force.
    --deep-kernel auto|exact|perturbation
        Kernel for views too deep for doubles: the 192-bit kernel (exact),
        perturbation from a reference orbit, or auto (default): the 192-bit
        kernel down to radius 1e-30, perturbation below.
    --palette FILE
        Palette of 256 red, green, blue byte triplets (768 bytes). Default: def.pal
        in the program's folder; without it, a grey ramp.
    --place FILE[:SLOT]
        Start from a view stored in a places file (12 records of 100 bytes, as
        the viewer writes them); SLOT is 0 to 11, default 0.
    --load FILE
        Start from the current view of a history file, with its size,
        supersampling, gamma, strategy, palette and any pixels it holds.
    --out FILE
        Picture to write; the extension .png or .tga chooses the format.
        Default quorvel.png. The picture appears only when complete.
    --help
        Show this text.

    --centre, --radius, --iterations and the picture options override what
    --place or --load brings.

EXIT STATUS
    0   the picture was written
    1   the picture could not be computed or written
    2   a bad argument: an unknown option, a value out of range, an unreadable
        palette, place or history file, or an unwritable output path; nothing
        was written

EXAMPLES
    quorvel-render --size 1920x1080 --supersampling 4 --out wallpaper.png
    quorvel-render --centre -0.743643887037151 0.131825904205330 --radius 1e-10 \
                   --iterations 5000 --out spiral.tga
)";

int bad_argument(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kExitBadArgument;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kExitFailure;
}

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

void set_location_iterations(Location& location, uint32_t n) {
    auto* bytes = reinterpret_cast<uint8_t*>(&location) + kIterationsOffset;
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(n >> (8 * i));
}

class Context {
public:
    Context() : handle_(qv_create_context(kMemoryMegabytes)) {}
    ~Context() { qv_delete_context(&handle_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    qv_handle get() const { return handle_; }

private:
    qv_handle handle_;
};

void draw_progress(float progress, double seconds, float efficiency) {
    constexpr int kBarWidth = 30;
    if (!(progress >= 0.0f)) progress = 0.0f;
    if (progress > 1.0f) progress = 1.0f;
    const int filled = static_cast<int>(progress * kBarWidth + 0.5f);
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %5.1f%%  %7.1f s  efficiency %5.1f%%\x1b[K", bar, progress * 100.0,
                 seconds, efficiency * 100.0);
    std::fflush(stderr);
}

int run(const Options& o) {
    // Everything that can be checked without computing is checked before the
    // output file is created.
    std::vector<uint8_t> palette;
    std::string reason;
    if (o.palette) {
        palette.resize(kPaletteBytes);
        if (!read_bytes(*o.palette, 0, kPaletteBytes, palette.data(), reason)) {
            return bad_argument("--palette: " + reason);
        }
    }

    Location place{};
    static_assert(sizeof(Location) == kLocationBytes);
    if (o.place_file) {
        if (!read_bytes(*o.place_file, static_cast<size_t>(o.place_slot) * kLocationBytes,
                        kLocationBytes, reinterpret_cast<uint8_t*>(&place), reason)) {
            return bad_argument("--place: " + reason);
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(&place);
        if (std::all_of(bytes, bytes + kLocationBytes, [](uint8_t b) { return b == 0; })) {
            return bad_argument("--place: slot " + std::to_string(o.place_slot) + " of '" +
                                *o.place_file + "' is empty");
        }
        if (o.iterations) set_location_iterations(place, *o.iterations);
    }
    if (o.load_file) {
        std::ifstream probe(*o.load_file, std::ios::binary);
        if (!probe) {
            return bad_argument("--load: cannot read '" + *o.load_file +
                                "': " + std::strerror(errno));
        }
    }

    install_interrupt_cleanup();
    common::AtomicFile output;
    if (!output.open(o.out, reason)) return bad_argument("--out: " + reason);

    // The shipped palette, or a plain ramp when it is missing.
    if (!o.palette && !o.load_file) {
        palette.resize(kPaletteBytes);
        const std::string shipped = program_folder() + "/def.pal";
        if (!read_bytes(shipped, 0, kPaletteBytes, palette.data(), reason)) {
            std::fprintf(stderr, "%s: no usable def.pal beside the program; using a grey ramp\n",
                         kProgram);
            for (size_t i = 0; i < kPaletteBytes; ++i) palette[i] = static_cast<uint8_t>(i / 3);
        }
    }

    Context context;
    const qv_handle h = context.get();
    if (h == nullptr) return failure("cannot create an engine context");

    if (o.load_file && !qv_load(h, o.load_file->c_str())) {
        return bad_argument("--load: '" + *o.load_file + "' is not a readable history file");
    }

    // Picture settings; after a load, only those given explicitly.
    const bool fresh = !o.load_file;
    int width = o.width.value_or(fresh ? 600 : -1);
    int height = o.height.value_or(fresh ? 600 : -1);
    if (o.supersampling && !o.width && !fresh) {
        // The grid check needs the size the history file brought.
        width = qv_get_image_width(h);
        height = qv_get_image_height(h);
        if (int64_t{width} * *o.supersampling > kMaxGrid ||
            int64_t{height} * *o.supersampling > kMaxGrid) {
            return bad_argument("--supersampling: " + std::to_string(*o.supersampling) + " at " +
                                std::to_string(width) + "x" + std::to_string(height) +
                                " exceeds the grid limit of 32767 pixels");
        }
    }
    qv_set_image_properties(h, width, height, o.supersampling.value_or(fresh ? 1 : -1),
                            o.gamma.value_or(fresh ? 1.75f : -1.0f));
    if (width > 0 && (qv_get_image_width(h) != width || qv_get_image_height(h) != height)) {
        // Only a loaded file's unknown supersampling can get here.
        return bad_argument("--size: " + std::to_string(width) + "x" + std::to_string(height) +
                            " exceeds the grid limit of 32767 pixels at the history file's "
                            "supersampling");
    }
    if (!palette.empty()) qv_set_palette(h, palette.data());
    if (o.generator) qv_set_generator_type(h, *o.generator);
    if (o.deep_kernel) qv_set_deep_kernel(h, *o.deep_kernel);

    // The view.
    if (o.place_file) qv_restore_location_from(h, &place);
    if (fresh && !o.place_file) {
        qv_set_view_params_from_text(h, o.centre_x.value_or("-0.5").c_str(),
                                     o.centre_y.value_or("0").c_str(), o.radius.value_or(1.5));
    } else if (o.centre_x || o.radius) {
        char x[128], y[128];
        double radius = 2.0;
        qv_get_view_params_as_text(h, x, y, &radius);
        qv_set_view_params_from_text(h, o.centre_x ? o.centre_x->c_str() : x,
                                     o.centre_y ? o.centre_y->c_str() : y,
                                     o.radius.value_or(radius));
    }
    if (o.iterations && !o.place_file && qv_get_maximum_iterations(h) != *o.iterations) {
        // The limit goes through a place record: a factor would round.
        Location location;
        qv_store_location_to(h, &location);
        set_location_iterations(location, *o.iterations);
        qv_restore_location_from(h, &location);
    }
    {
        double x = 0, y = 0, radius = 0;
        qv_get_view_params_as_doubles(h, &x, &y, &radius);
        if (!std::isfinite(x) || !std::isfinite(y) || !(radius > 0.0) || !std::isfinite(radius)) {
            if (o.place_file) {
                return bad_argument("--place: slot " + std::to_string(o.place_slot) + " of '" +
                                    *o.place_file + "' holds no valid view");
            }
            if (o.load_file) {
                return bad_argument("--load: '" + *o.load_file + "' holds no valid view");
            }
            return bad_argument("--centre: the view is out of range");
        }
    }

    // Compute.
    const bool terminal = isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    auto seconds_since_start = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    while (qv_refine_image(h)) {
        if (terminal)
            draw_progress(qv_get_progress(h), seconds_since_start(), qv_get_cleverness(h));
    }
    const uint8_t* rgb = qv_get_rgb_image(h);
    const double seconds = seconds_since_start();
    const float efficiency = qv_get_cleverness(h);
    const int out_width = qv_get_image_width(h);
    const int out_height = qv_get_image_height(h);
    if (terminal) {
        std::fprintf(stderr, "\r\x1b[K");
    } else {
        std::fprintf(stderr, "%s: %dx%d done in %.3f s, efficiency %.1f%%\n", kProgram, out_width,
                     out_height, seconds, efficiency * 100.0);
    }
    if (rgb == nullptr || out_width <= 0 || out_height <= 0) {
        return failure("the engine returned no picture");
    }

    if (!common::write_picture(output, o.format, {rgb, out_width, out_height}, reason)) {
        return failure(reason);
    }

    char x[128], y[128];
    double radius = 0;
    qv_get_view_params_as_text(h, x, y, &radius);
    std::printf("centre x    %s\n", x);
    std::printf("centre y    %s\n", y);
    std::printf("radius      %.17g\n", radius);
    std::printf("iterations  %u\n", qv_get_maximum_iterations(h));
    std::printf("seconds     %.3f\n", seconds);
    std::printf("efficiency  %.1f%%\n", efficiency * 100.0);
    std::printf("picture     %s (%dx%d)\n", o.out.c_str(), out_width, out_height);
    return std::fflush(stdout) == 0 ? 0 : kExitFailure;
}

}  // namespace
}  // namespace quorvel::render

int main(int argc, char** argv) {
    using namespace quorvel::render;
    const ParseResult parsed = parse_options(argc, argv);
    if (!parsed.error.empty()) return bad_argument(parsed.error);
    if (parsed.options.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    return run(parsed.options);
}
