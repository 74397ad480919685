#include "bands.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "coordinates.h"
#include "image_file.h"
#include "workers.h"

namespace quorvel::render {
namespace {

// More bands than workers, so one slow band does not hold up the others.
constexpr int kBandsPerJob = 4;

// Memory shared with the worker processes: mapped before they are forked.
class SharedMemory {
public:
    explicit SharedMemory(size_t bytes) : size_(std::max<size_t>(bytes, 1)) {
        // Only the pages written are backed: room for the worst case of
        // compression need not be reserved.
        void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
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

}  // namespace

std::vector<Band> plan_bands(const Target& t, int supersampling, int count) {
    const int grid_w = t.width * supersampling, grid_h = t.height * supersampling;
    // A deeper picture: radius = mantissa * 2^scale, the doubles below scaled.
    double radius_mantissa = t.radius;
    long scale = 0;
    if (t.wide && !split_hex_text(t.exact_radius, radius_mantissa, scale)) return {};
    const std::string& centre_y = t.wide ? t.exact_y : t.centre_y;
    double half_x, half_y;
    if (grid_w >= grid_h) {
        half_x = radius_mantissa;
        half_y = radius_mantissa * (grid_h * (1.0 / grid_w));
    } else {
        half_y = radius_mantissa;
        half_x = radius_mantissa * (grid_w * (1.0 / grid_h));
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
        // Exact, whatever its length: a deep band of a 192-bit picture has a
        // centre of more bits.
        bands.push_back({first, last - first, add_scaled_exactly(centre_y, offsets, 3, scale),
                         scaled_hex_text(radius, scale)});
    }
    return bands;
}

namespace {

struct BandStats {
    double clever_pixels;
    common::PngPart part;  // its data pointer is set by the parent
};

// What the workers leave in memory shared with them: every band's statistics
// first, where they are aligned, then each band as compressed PNG data (so
// that compressing is shared out too) or as rows for a TGA.
class SharedBands {
public:
    SharedBands(const std::vector<Band>& bands, int width, bool png)
        : png_(png), offset_(bands.size() + 1, sizeof(BandStats) * bands.size()) {
        const size_t row_bytes = static_cast<size_t>(width) * 3;
        for (size_t b = 0; b < bands.size(); ++b) {
            offset_[b + 1] = offset_[b] + (png ? common::png_part_bound(width, bands[b].rows)
                                               : row_bytes * bands[b].rows);
        }
        memory_ = std::make_unique<SharedMemory>(offset_.back());
    }
    bool mapped() const { return memory_->data() != nullptr; }
    bool png() const { return png_; }
    BandStats& stats(int b) const { return reinterpret_cast<BandStats*>(memory_->data())[b]; }
    uint8_t* data(int b) const { return memory_->data() + offset_[b]; }
    size_t room(int b) const { return offset_[b + 1] - offset_[b]; }

private:
    bool png_;
    std::vector<size_t> offset_;
    std::unique_ptr<SharedMemory> memory_;
};

// In a worker: computes band b in its own engine context and leaves it in
// the shared memory; the exit status.
int compute_band(const Plan& plan, const Target& t, const std::vector<Band>& bands, int b,
                 const SharedBands& shared) {
    const Band& band = bands[b];
    // Set up at the band's size: at the picture's, each worker would first
    // clear a picture-sized image it never uses.
    Setup setup = plan.setup;
    setup.width = t.width;
    setup.height = band.rows;
    EngineContext context;
    const std::string problem = context.configure(setup);
    if (!problem.empty()) return failure(problem);
    if (!context.show_exact(t.wide ? t.exact_x : t.centre_x, band.centre_y, band.radius,
                            t.iterations))
        return failure("the engine refused the view of band " + std::to_string(b));
    const EngineContext::Outcome outcome = context.compute(false);
    const uint8_t* rgb = qv_get_rgb_image(context.get());
    if (rgb == nullptr || qv_get_image_height(context.get()) != band.rows)
        return failure("the engine returned no picture for band " + std::to_string(b));
    if (crash_requested(b)) raise(SIGKILL);
    BandStats& stats = shared.stats(b);
    if (shared.png()) {
        const bool last = b == static_cast<int>(bands.size()) - 1;
        const std::vector<uint8_t> part =
            common::compress_png_part(rgb, t.width, band.rows, last, stats.part);
        if (part.empty() || part.size() > shared.room(b))
            return failure("cannot compress band " + std::to_string(b));
        std::memcpy(shared.data(b), part.data(), part.size());
        stats.part.size = part.size();
    } else {
        std::memcpy(shared.data(b), rgb, static_cast<size_t>(t.width) * 3 * band.rows);
    }
    stats.clever_pixels = double(outcome.efficiency) * t.width * band.rows;
    return 0;
}

// Runs every band in the workers, with a progress bar on a terminal; empty,
// or what went wrong.
std::string run_band_workers(int count, int jobs, std::function<int(int)> work,
                             std::chrono::steady_clock::time_point start, bool terminal) {
    int done = 0;
    WorkerTasks how;
    how.noun = "band";
    how.work = std::move(work);
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
    return problem;
}

// Joins the bands into the picture file; false with a reason otherwise.
bool write_bands(const SharedBands& shared, int count, const Options& o, const Target& t,
                 const std::string& text, common::AtomicFile& output, std::string& reason) {
    if (!shared.png()) {
        return common::write_picture(output, o.format, {shared.data(0), t.width, t.height}, reason,
                                     text);
    }
    std::vector<common::PngPart> parts;
    for (int b = 0; b < count; ++b) {
        parts.push_back(shared.stats(b).part);
        parts.back().data = shared.data(b);
    }
    return common::write_png_parts(output, t.width, t.height, parts, reason, text);
}

}  // namespace

int render_bands(const Plan& plan, const Options& o, const Target& t, int jobs,
                 common::AtomicFile& output) {
    const int count = std::min(t.height, jobs * kBandsPerJob);
    const std::vector<Band> bands = plan_bands(t, plan.setup.supersampling, count);
    if (bands.empty()) return failure("cannot divide the picture into bands");
    const SharedBands shared(bands, t.width, o.format == common::PictureFormat::png);
    if (!shared.mapped()) return failure("cannot map memory for the workers");

    const bool terminal = isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    const std::string problem = run_band_workers(
        count, jobs, [&](int b) { return compute_band(plan, t, bands, b, shared); }, start,
        terminal);
    if (!problem.empty()) return failure(problem + "; no picture was written");

    const double seconds = seconds_since(start);
    double clever = 0;
    for (int b = 0; b < count; ++b) clever += shared.stats(b).clever_pixels;
    const double efficiency = clever / (double(t.width) * t.height);
    if (!terminal) {
        std::fprintf(stderr,
                     "%s: %dx%d done in %.3f s by %d workers in %d bands, efficiency %.1f%%\n",
                     kProgram, t.width, t.height, seconds, jobs, count, efficiency * 100.0);
    }
    std::string reason;
    const std::string text = chunk_text(plan, t);
    if (!write_bands(shared, count, o, t, text, output, reason)) return failure(reason);
    print_centre(t);
    std::printf("seconds     %.3f\n", seconds);
    std::printf("efficiency  %.1f%%\n", efficiency * 100.0);
    std::printf("picture     %s (%dx%d, %d bands)\n", o.out.c_str(), t.width, t.height, count);
    return finish_stdout();
}

}  // namespace quorvel::render
