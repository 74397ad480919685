// quorvel-render: renders one view of the Mandelbrot set, or a zoom movie into
// it, into PNG or TGA pictures without a window, through the engine's public
// interface only. Parallel work runs in worker processes, one engine context
// each.
#include <quorvel.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "coordinates.h"
#include "engine_view.h"
#include "help.h"
#include "image_file.h"
#include "movie.h"
#include "options.h"
#include "png_view.h"
#include "view_text.h"
#include "workers.h"

namespace quorvel::render {
namespace {

constexpr const char* kProgram = "quorvel-render";
constexpr int kExitFailure = 1;
constexpr int kExitBadArgument = 2;
constexpr size_t kPaletteBytes = 768;
constexpr size_t kLocationBytes = 100;
// More bands than workers, so one slow band does not hold up the others.
constexpr int kBandsPerJob = 4;
constexpr int kVideoFramesPerSecond = 30;

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

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The full path of a program found through PATH, or empty.
std::string find_program(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

// Memory shared with the worker processes: mapped before they are forked.
class SharedMemory {
public:
    explicit SharedMemory(size_t bytes) : size_(std::max<size_t>(bytes, 1)) {
        void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    }
    ~SharedMemory() {
        if (data_ != nullptr) munmap(data_, size_);
    }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    uint8_t* data() const { return data_; }

private:
    size_t size_;
    uint8_t* data_;
};

// A deliberate crash of one worker, for the tests of what a dead worker leaves.
bool crash_requested(int task) {
    const char* value = std::getenv("QUORVEL_RENDER_TEST_KILL");
    return value != nullptr && std::atoi(value) == task;
}

// Everything resolved before any work, plus what the pictures say about it.
struct Plan {
    Setup setup;
    std::string palette_name;  // as given, for the view chunk
};

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
    if (o.place_file && is_png_file(*o.place_file)) {
        picture = read_png_view(*o.place_file, reason);
        if (!picture) return "--place: " + reason;
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
    s.width = o.width.value_or(fresh ? 600 : -1);
    s.height = o.height.value_or(fresh ? 600 : -1);
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
    return {};
}

// The shipped palette, or a plain ramp when it is missing.
void default_palette(Setup& s) {
    if (!s.palette.empty() || s.load_file) return;
    s.palette.resize(kPaletteBytes);
    std::string reason;
    if (!read_bytes(program_folder() + "/def.pal", 0, kPaletteBytes, s.palette.data(), reason)) {
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

// One picture in this process.
int render_single(const Plan& plan, const Options& o, common::AtomicFile& output) {
    EngineContext context;
    const std::string problem = context.configure(plan.setup);
    if (!problem.empty()) return bad_argument(problem);
    const bool terminal = isatty(STDERR_FILENO) == 1;
    const EngineContext::Outcome outcome = context.compute(terminal);
    const Target t = context.target();
    const uint8_t* rgb = qv_get_rgb_image(context.get());
    if (terminal) {
        std::fprintf(stderr, "\r\x1b[K");
    } else {
        std::fprintf(stderr, "%s: %dx%d done in %.3f s, efficiency %.1f%%\n", kProgram, t.width,
                     t.height, outcome.seconds, outcome.efficiency * 100.0);
    }
    if (rgb == nullptr || t.width <= 0 || t.height <= 0)
        return failure("the engine returned no picture");
    std::string reason;
    if (!common::write_picture(output, o.format, {rgb, t.width, t.height}, reason,
                               chunk_text(plan, t.centre_x, t.centre_y, t.radius, t.iterations)))
        return failure(reason);
    print_centre(t);
    std::printf("seconds     %.3f\n", outcome.seconds);
    std::printf("efficiency  %.1f%%\n", outcome.efficiency * 100.0);
    std::printf("picture     %s (%dx%d)\n", o.out.c_str(), t.width, t.height);
    return finish_stdout();
}

// A horizontal band of the picture: its rows, and the centre and radius that
// put its grid exactly on the whole picture's grid.
struct Band {
    int first_row, rows;
    std::string centre_y;
    double radius;
};

// The engine lays a grid of Gw x Gh points from the centre, the radius (half
// the longer side) and the size; a band repeats that arithmetic so its
// points are the whole grid's rows g0 .. g0+gh-1 whenever the numbers are
// exact (a power-of-two width and radius make them so).
std::vector<Band> plan_bands(const Target& t, int supersampling, int count) {
    const int grid_w = t.width * supersampling, grid_h = t.height * supersampling;
    double half_x, half_y;
    if (grid_w >= grid_h) {
        half_x = t.radius;
        half_y = t.radius * (grid_h * (1.0 / grid_w));
    } else {
        half_y = t.radius;
        half_x = t.radius * (grid_w * (1.0 / grid_h));
    }
    const double step = (2.0 * half_y) / grid_h;
    std::vector<Band> bands;
    for (int b = 0; b < count; ++b) {
        const int first = static_cast<int>(int64_t{t.height} * b / count);
        const int last = static_cast<int>(int64_t{t.height} * (b + 1) / count);
        const int g0 = first * supersampling, gh = (last - first) * supersampling;
        const double radius = grid_w >= gh ? half_x : step * gh / 2.0;
        const double band_half_y = grid_w >= gh ? radius * (gh * (1.0 / grid_w)) : radius;
        // Top row of the band: centre + half_y - g0*step, and it is also the
        // band's centre + band_half_y.
        const double offsets[3] = {half_y, -band_half_y, -(g0 * step)};
        bands.push_back({first, last - first, add_to_engine_text(t.centre_y, offsets, 3), radius});
    }
    return bands;
}

struct BandStats {
    double clever_pixels;
};

// One picture in bands, shared by worker processes.
int render_bands(const Plan& plan, const Options& o, const Target& t, int jobs,
                 common::AtomicFile& output) {
    const int count = std::min(t.height, jobs * kBandsPerJob);
    const std::vector<Band> bands = plan_bands(t, plan.setup.supersampling, count);
    const size_t row_bytes = static_cast<size_t>(t.width) * 3;
    const size_t picture_bytes = row_bytes * t.height;
    SharedMemory shared(picture_bytes + sizeof(BandStats) * count);
    if (shared.data() == nullptr) return failure("cannot map memory for the workers");
    auto* stats = reinterpret_cast<BandStats*>(shared.data() + picture_bytes);

    const bool terminal = isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    int done = 0;
    WorkerTasks how;
    how.noun = "band";
    how.work = [&](int b) {
        const Band& band = bands[b];
        EngineContext context;
        const std::string problem = context.configure(plan.setup);
        if (!problem.empty()) return failure(problem);
        qv_set_image_properties(context.get(), t.width, band.rows, plan.setup.supersampling,
                                plan.setup.gamma);
        context.show(t.centre_x, band.centre_y, band.radius, t.iterations);
        const EngineContext::Outcome outcome = context.compute(false);
        const uint8_t* rgb = qv_get_rgb_image(context.get());
        if (rgb == nullptr || qv_get_image_height(context.get()) != band.rows)
            return failure("the engine returned no picture for band " + std::to_string(b));
        if (crash_requested(b)) raise(SIGKILL);
        std::memcpy(shared.data() + row_bytes * band.first_row, rgb, row_bytes * band.rows);
        stats[b].clever_pixels = double(outcome.efficiency) * t.width * band.rows;
        return 0;
    };
    how.finished = [&](int) {
        ++done;
        if (!terminal) return;
        char tail[64];
        std::snprintf(tail, sizeof tail, "%d/%d bands  %7.1f s", done, count, seconds_since(start));
        draw_bar(done, count, tail);
    };
    how.died = [](int, long) {};
    std::vector<int> tasks(count);
    for (int b = 0; b < count; ++b) tasks[b] = b;
    const std::string problem = run_workers(tasks, jobs, how);
    if (terminal) std::fprintf(stderr, "\r\x1b[K");
    if (!problem.empty()) return failure(problem + "; no picture was written");

    const double seconds = seconds_since(start);
    double clever = 0;
    for (int b = 0; b < count; ++b) clever += stats[b].clever_pixels;
    const double efficiency = clever / (double(t.width) * t.height);
    if (!terminal) {
        std::fprintf(stderr,
                     "%s: %dx%d done in %.3f s by %d workers in %d bands, efficiency %.1f%%\n",
                     kProgram, t.width, t.height, seconds, jobs, count, efficiency * 100.0);
    }
    std::string reason;
    if (!common::write_picture(output, o.format, {shared.data(), t.width, t.height}, reason,
                               chunk_text(plan, t.centre_x, t.centre_y, t.radius, t.iterations)))
        return failure(reason);
    print_centre(t);
    std::printf("seconds     %.3f\n", seconds);
    std::printf("efficiency  %.1f%%\n", efficiency * 100.0);
    std::printf("picture     %s (%dx%d, %d bands)\n", o.out.c_str(), t.width, t.height, count);
    return finish_stdout();
}

// Encodes the frames, in order, with ffmpeg into a temporary file renamed
// into place at the end.
int encode_video(const std::string& ffmpeg, const std::vector<std::string>& frames,
                 const std::string& video) {
    const size_t slash = video.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : video.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? video : video.substr(slash + 1);
    // The extension stays last: ffmpeg chooses the container by it.
    const std::string temp = folder + ".quorvel-render-" + std::to_string(getpid()) + "-" + name;
    int fds[2];
    if (pipe(fds) != 0) return failure(std::string("cannot start ffmpeg: ") + std::strerror(errno));
    set_pending_file(temp);
    const std::string rate = std::to_string(kVideoFramesPerSecond);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        close(fds[1]);
        const char* argv[] = {ffmpeg.c_str(),
                              "-hide_banner",
                              "-loglevel",
                              "error",
                              "-y",
                              "-f",
                              "image2pipe",
                              "-framerate",
                              rate.c_str(),
                              "-i",
                              "-",
                              "-vf",
                              "pad=ceil(iw/2)*2:ceil(ih/2)*2",
                              "-pix_fmt",
                              "yuv420p",
                              temp.c_str(),
                              nullptr};
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        clear_pending_file();
        return failure(std::string("cannot start ffmpeg: ") + std::strerror(errno));
    }
    // A failing ffmpeg closes the pipe early; that is its exit status to report.
    signal(SIGPIPE, SIG_IGN);
    bool sent = true;
    std::vector<char> buffer(1 << 16);
    for (const std::string& frame : frames) {
        std::ifstream in(frame, std::ios::binary);
        while (sent && in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const char* p = buffer.data();
            for (std::streamsize left = in.gcount(); left > 0;) {
                const ssize_t n = write(fds[1], p, static_cast<size_t>(left));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    sent = false;
                    break;
                }
                p += n;
                left -= n;
            }
        }
    }
    close(fds[1]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!sent || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::rename(temp.c_str(), video.c_str()) != 0) {
        unlink(temp.c_str());
        clear_pending_file();
        return failure("ffmpeg could not make '" + video + "'; the frames are kept");
    }
    clear_pending_file();
    return 0;
}

// A zoom movie: each missing frame of the range is one worker task.
int render_movie(const Plan& plan, const Options& o, const Target& t, int jobs,
                 const std::string& ffmpeg) {
    const int count = *o.zoom_frames;
    const FrameRange range = o.frames.value_or(FrameRange{0, count - 1});
    const uint32_t from_iterations =
        o.iterations_from.value_or(std::min<uint32_t>(150, t.iterations));
    const ZoomPlan zoom(count, o.zoom_from.value_or(2.0), t.radius, from_iterations, t.iterations);

    std::vector<int> tasks;
    for (int k = range.first; k <= range.last; ++k) {
        if (!file_exists(frame_path(o.out, k))) tasks.push_back(k);
    }
    const int total = range.last - range.first + 1;
    const int present = total - static_cast<int>(tasks.size());
    const bool terminal = isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    int rendered = 0;

    WorkerTasks how;
    how.noun = "frame";
    how.work = [&](int k) {
        EngineContext context;
        const std::string problem = context.configure(plan.setup);
        if (!problem.empty()) return failure(problem);
        const FrameView frame = zoom.frame(k);
        context.show(t.centre_x, t.centre_y, frame.radius, frame.iterations);
        const std::string path = frame_path(o.out, k);
        common::AtomicFile output;
        std::string reason;
        if (!output.open(path, reason)) return failure(reason);
        if (crash_requested(k)) raise(SIGKILL);  // with its file half made
        context.compute(false);
        const Target f = context.target();
        const uint8_t* rgb = qv_get_rgb_image(context.get());
        if (rgb == nullptr) return failure("the engine returned no picture for frame " + path);
        if (!common::write_picture(
                output, o.format, {rgb, f.width, f.height}, reason,
                chunk_text(plan, f.centre_x, f.centre_y, f.radius, f.iterations)))
            return failure(reason);
        return 0;
    };
    how.finished = [&](int k) {
        ++rendered;
        const double seconds = seconds_since(start);
        const int done = present + rendered;
        if (!terminal) {
            std::fprintf(stderr, "%s: frame %d written (%d of %d) %.1f s\n", kProgram, k, done,
                         total, seconds);
            return;
        }
        const double rate = rendered / std::max(seconds, 1e-9);
        const int left = static_cast<int>((total - done) / rate + 0.5);
        char tail[96];
        std::snprintf(tail, sizeof tail, "%d/%d frames  %.2f frames/s  %d:%02d left", done, total,
                      rate, left / 60, left % 60);
        draw_bar(done, total, tail);
    };
    how.died = [&](int k, long pid) { remove_temporary_files_of(frame_path(o.out, k), pid); };
    const std::string problem = run_workers(tasks, jobs, how);
    if (terminal) std::fprintf(stderr, "\r\x1b[K");
    if (!problem.empty()) {
        return failure(problem + "; " + std::to_string(rendered) +
                       " frames were written, run again to complete the rest");
    }
    const double seconds = seconds_since(start);
    if (o.video) {
        std::vector<std::string> frames;
        for (int k = range.first; k <= range.last; ++k) frames.push_back(frame_path(o.out, k));
        if (const int status = encode_video(ffmpeg, frames, *o.video); status != 0) return status;
    }
    print_centre(t);
    std::printf("frames      %d:%d of %d (%d rendered, %d already there)\n", range.first,
                range.last, count, rendered, present);
    std::printf("seconds     %.3f\n", seconds);
    if (rendered > 0) std::printf("per frame   %.3f s\n", seconds / rendered);
    if (o.video) std::printf("video       %s\n", o.video->c_str());
    return finish_stdout();
}

int default_jobs() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n >= 1 ? static_cast<int>(std::min<long>(n, kMaxJobs)) : 1;
}

int run(const Options& o) {
    // Everything that can be checked without computing is checked before the
    // output file is created.
    Plan plan;
    if (std::string problem = prepare(o, plan); !problem.empty()) return bad_argument(problem);
    std::string ffmpeg;
    if (o.video) {
        ffmpeg = find_program("ffmpeg");
        if (ffmpeg.empty())
            return bad_argument(
                "--video: the ffmpeg program is not installed (apt-get install "
                "ffmpeg), or leave out --video to keep the frames only");
    }

    install_interrupt_cleanup();
    common::AtomicFile output;
    std::string reason;
    if (o.zoom_frames) {
        // A trial file in the frames' folder proves it writable; it goes again.
        common::AtomicFile trial;
        if (!trial.open(frame_path(o.out, 0), reason)) return bad_argument("--out: " + reason);
        if (o.video) {
            common::AtomicFile video_trial;
            if (!video_trial.open(*o.video, reason)) return bad_argument("--video: " + reason);
        }
    } else if (!output.open(o.out, reason)) {
        return bad_argument("--out: " + reason);
    }
    default_palette(plan.setup);

    // The view as the engine takes it; this context is gone before any
    // worker starts.
    Target target;
    {
        EngineContext probe;
        if (std::string problem = probe.configure(plan.setup); !problem.empty())
            return bad_argument(problem);
        target = probe.target();
    }
    warn_about_digits(o, target.radius);

    const int jobs = o.jobs.value_or(default_jobs());
    if (o.zoom_frames) return render_movie(plan, o, target, jobs, ffmpeg);
    // A history file's pixels and unknown supersampling stay in one process.
    if (jobs > 1 && !o.load_file && target.height > 1)
        return render_bands(plan, o, target, jobs, output);
    return render_single(plan, o, output);
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
