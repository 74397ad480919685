#include "zoom_movie.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "counts_file.h"
#include "image_file.h"
#include "movie.h"
#include "workers.h"

namespace quorvel::render {
namespace {

constexpr int kVideoFramesPerSecond = 30;

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
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

}  // namespace

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

// A zoom movie: each missing frame of the range is one worker task.
int render_movie(const Plan& plan, const Options& o, const Target& t, int jobs,
                 const std::string& ffmpeg) {
    const int count = *o.zoom_frames;
    const FrameRange range = o.frames.value_or(FrameRange{0, count - 1});
    const uint32_t from_iterations =
        o.iterations_from.value_or(std::min<uint32_t>(150, t.iterations));
    const ZoomPlan zoom(count, o.zoom_from.value_or("2"), t.exact_radius, from_iterations,
                        t.iterations);

    std::vector<int> tasks;
    for (int k = range.first; k <= range.last; ++k) {
        // A frame is there only with its counts, when they are asked for.
        if (!file_exists(frame_path(o.out, k)) ||
            (o.counts && !file_exists(frame_path(*o.counts, k))))
            tasks.push_back(k);
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
        if (!t.wide && frame.radius_text.empty()) {
            context.show(t.centre_x, t.centre_y, frame.radius, frame.iterations);
        } else {
            // The exact centre; %.17g gives a double radius back exactly.
            char radius[64];
            std::snprintf(radius, sizeof radius, "%.17g", frame.radius);
            if (!context.show_exact(t.exact_x, t.exact_y,
                                    frame.radius_text.empty() ? radius : frame.radius_text,
                                    frame.iterations))
                return failure("the engine refused the view of frame " + std::to_string(k));
        }
        const std::string path = frame_path(o.out, k);
        common::AtomicFile output;
        std::string reason;
        if (!output.open(path, reason)) return failure(reason);
        if (crash_requested(k)) raise(SIGKILL);  // with its file half made
        context.compute(false);
        const Target f = context.target();
        const uint8_t* rgb = qv_get_rgb_image(context.get());
        if (rgb == nullptr) return failure("the engine returned no picture for frame " + path);
        if (!common::write_picture(output, o.format, {rgb, f.width, f.height}, reason,
                                   chunk_text(plan, f)))
            return failure(reason);
        if (o.counts && !write_counts_exr(context.get(), frame_path(*o.counts, k), reason))
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

}  // namespace quorvel::render
