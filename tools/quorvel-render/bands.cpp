#include "bands.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

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

namespace {

struct BandStats {
    double clever_pixels;
    common::PngPart part;  // its data pointer is set by the parent
};

}  // namespace

int render_bands(const Plan& plan, const Options& o, const Target& t, int jobs,
                 common::AtomicFile& output) {
    const int count = std::min(t.height, jobs * kBandsPerJob);
    const std::vector<Band> bands = plan_bands(t, plan.setup.supersampling, count);
    const size_t row_bytes = static_cast<size_t>(t.width) * 3;
    // Each worker leaves its band in shared memory: as compressed PNG data, so
    // that compressing is shared out too, or as rows for a TGA.
    const bool png = o.format == common::PictureFormat::png;
    // The statistics come first, where they are aligned.
    std::vector<size_t> offset(count + 1, sizeof(BandStats) * count);
    for (int b = 0; b < count; ++b) {
        offset[b + 1] = offset[b] + (png ? common::png_part_bound(t.width, bands[b].rows)
                                         : row_bytes * bands[b].rows);
    }
    SharedMemory shared(offset[count]);
    if (shared.data() == nullptr) return failure("cannot map memory for the workers");
    auto* stats = reinterpret_cast<BandStats*>(shared.data());

    const bool terminal = isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    int done = 0;
    WorkerTasks how;
    how.noun = "band";
    how.work = [&](int b) {
        const Band& band = bands[b];
        // Set up at the band's size: at the picture's, each worker would
        // first clear a picture-sized image it never uses.
        Setup setup = plan.setup;
        setup.width = t.width;
        setup.height = band.rows;
        EngineContext context;
        const std::string problem = context.configure(setup);
        if (!problem.empty()) return failure(problem);
        context.show(t.centre_x, band.centre_y, band.radius, t.iterations);
        const EngineContext::Outcome outcome = context.compute(false);
        const uint8_t* rgb = qv_get_rgb_image(context.get());
        if (rgb == nullptr || qv_get_image_height(context.get()) != band.rows)
            return failure("the engine returned no picture for band " + std::to_string(b));
        if (crash_requested(b)) raise(SIGKILL);
        if (png) {
            const std::vector<uint8_t> part =
                common::compress_png_part(rgb, t.width, band.rows, b == count - 1, stats[b].part);
            if (part.empty() || part.size() > offset[b + 1] - offset[b])
                return failure("cannot compress band " + std::to_string(b));
            std::memcpy(shared.data() + offset[b], part.data(), part.size());
            stats[b].part.size = part.size();
        } else {
            std::memcpy(shared.data() + offset[b], rgb, row_bytes * band.rows);
        }
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
    const std::string text = chunk_text(plan, t.centre_x, t.centre_y, t.radius, t.iterations);
    std::vector<common::PngPart> parts;
    for (int b = 0; png && b < count; ++b) {
        parts.push_back(stats[b].part);
        parts.back().data = shared.data() + offset[b];
    }
    if (png ? !common::write_png_parts(output, t.width, t.height, parts, reason, text)
            : !common::write_picture(output, o.format,
                                     {shared.data() + offset[0], t.width, t.height}, reason, text))
        return failure(reason);
    print_centre(t);
    std::printf("seconds     %.3f\n", seconds);
    std::printf("efficiency  %.1f%%\n", efficiency * 100.0);
    std::printf("picture     %s (%dx%d, %d bands)\n", o.out.c_str(), t.width, t.height, count);
    return finish_stdout();
}

}  // namespace quorvel::render
