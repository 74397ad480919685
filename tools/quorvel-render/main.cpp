// quorvel-render: renders one view of the Mandelbrot set, or a zoom movie into
// it, into PNG or TGA pictures without a window, through the engine's public
// interface only. Parallel work runs in worker processes, one engine context
// each.
#include <quorvel.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "bands.h"
#include "counts_file.h"
#include "help.h"
#include "image_file.h"
#include "movie.h"
#include "options.h"
#include "prepare.h"
#include "run_common.h"
#include "zoom_movie.h"

namespace quorvel::render {
namespace {

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
                               chunk_text(plan, t)))
        return failure(reason);
    if (o.counts && !write_counts_exr(context.get(), *o.counts, reason)) return failure(reason);
    print_centre(t);
    std::printf("seconds     %.3f\n", outcome.seconds);
    std::printf("efficiency  %.1f%%\n", outcome.efficiency * 100.0);
    std::printf("picture     %s (%dx%d)\n", o.out.c_str(), t.width, t.height);
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
    warn_about_digits(o, target);

    const int jobs = o.jobs.value_or(default_jobs());
    if (o.zoom_frames) return render_movie(plan, o, target, jobs, ffmpeg);
    // A history file's pixels and unknown supersampling stay in one process,
    // and so do the counts, which no band holds in full.
    if (jobs > 1 && !o.load_file && !o.counts && target.height > 1)
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
