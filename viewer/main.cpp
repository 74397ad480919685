// The viewer's GLUT side: window, callbacks, idle switching, signals and the
// exit handler. Everything the user can do is in commands.cpp.
#include <GL/freeglut.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "commands.h"
#include "emergency.h"
#include "session.h"
#include "startup.h"

namespace {

using namespace quorvel::viewer;
using Clock = std::chrono::steady_clock;

constexpr unsigned kStopPollMilliseconds = 100;
// After SIGINT, SIGTERM or SIGHUP the main loop has this long to end before
// the signal path ends the process; the normal shutdown after it (places and
// session saved, context deleted) has no deadline.
constexpr long kStopGraceMicroseconds = 500000;

void refine_idle_callback();
void done_idle_callback();
void redisplay_idle_callback() { glutPostRedisplay(); }

void note_restart();
void note_view_change();

class GlutWindow final : public quorvel::viewer::Window {
public:
    void set_idle(Idle idle) override {
        if (idle == Idle::refine) note_restart();
        switch (idle) {
            case Idle::none:
                glutIdleFunc(nullptr);
                break;
            case Idle::refine:
                glutIdleFunc(refine_idle_callback);
                break;
            case Idle::done:
                glutIdleFunc(done_idle_callback);
                break;
            case Idle::redisplay:
                glutIdleFunc(redisplay_idle_callback);
                break;
        }
    }
    void set_title(const char* title) override { glutSetWindowTitle(title); }
    void post_redisplay() override { glutPostRedisplay(); }
    void reshape_window(int width, int height) override { glutReshapeWindow(width, height); }
    void view_changed() override { note_view_change(); }
};

// With QUORVEL_TIMING set, callback durations and the frame rate go to
// standard error.
struct Timing {
    bool on = false;
    Clock::time_point start = Clock::now();
    bool first_picture_done = false;
    bool refining = false;
    Clock::time_point refine_since = Clock::now();
    double longest_idle = 0.0;
    double longest_display = 0.0;
    bool first_frame_drawn = false;
    long frames = 0;
    Clock::time_point frames_since = Clock::now();

    static double seconds(Clock::time_point from) {
        return std::chrono::duration<double>(Clock::now() - from).count();
    }
    void idle_took(Clock::time_point from, const char* which) {
        if (!on) return;
        const double took = seconds(from);
        if (took > longest_idle) longest_idle = took;
        if (took > 0.3) std::fprintf(stderr, "timing: %s idle took %.3f s\n", which, took);
    }
    void display_took(Clock::time_point from) {
        if (!on) return;
        const double took = seconds(from);
        // The first frame also sets up the GL pipeline; it is reported apart.
        if (!first_frame_drawn) {
            first_frame_drawn = true;
            std::fprintf(stderr, "timing: first frame drawn in %.3f s\n", took);
        } else if (took > longest_display) {
            longest_display = took;
        }
        ++frames;
        const double span = seconds(frames_since);
        if (span >= 2.0) {
            std::fprintf(stderr, "timing: %.1f frames per second\n", frames / span);
            frames = 0;
            frames_since = Clock::now();
        }
    }
};

ViewerState g_state;
GlutWindow g_window;
std::unique_ptr<Dialogs> g_dialogs;
std::optional<Commands> g_commands;
Timing g_timing;
AutosaveSchedule g_autosave;
bool g_autosave_timer_set = false;
bool g_autosave_failure_said = false;
// The session is replaced only once the user has done something, so that a
// start without -resume does not overwrite the session of a crashed run.
bool g_user_acted = false;

double steady_seconds() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

void autosave_callback(int);

void set_autosave_timer(double seconds) {
    g_autosave_timer_set = true;
    glutTimerFunc(static_cast<unsigned>(std::ceil(seconds * 1000.0)), autosave_callback, 0);
}

// A GLUT timer rather than the idle callback, which stops once the picture is
// done: the last change is saved within the interval even if nothing follows.
void autosave_callback(int) {
    g_autosave_timer_set = false;
    if (!g_autosave.pending()) return;
    if (const double wait = g_autosave.wait(steady_seconds()); wait > 0.0) {
        set_autosave_timer(wait);
        return;
    }
    std::string error;
    if (!save_session(g_state.handle, g_state.session_path, error) && !g_autosave_failure_said) {
        std::printf("cannot save the session: %s\n", error.c_str());
        g_autosave_failure_said = true;
    }
    g_autosave.saved(steady_seconds());
}

void note_view_change() {
    if (g_state.session_path.empty() || !g_user_acted) return;
    g_autosave.changed();
    if (!g_autosave_timer_set) set_autosave_timer(g_autosave.wait(steady_seconds()));
}

void note_restart() {
    if (g_timing.refining) return;
    g_timing.refining = true;
    g_timing.refine_since = Clock::now();
}

void refine_idle_callback() {
    const auto from = Clock::now();
    const bool complete = g_commands->refine_idle();
    g_timing.idle_took(from, "refine");
    if (!complete || !g_timing.on) return;
    g_timing.refining = false;
    if (!g_timing.first_picture_done) {
        g_timing.first_picture_done = true;
        std::fprintf(stderr, "timing: first complete picture after %.3f s\n",
                     Timing::seconds(g_timing.start));
    }
    std::fprintf(stderr, "timing: picture complete %.3f s after the restart\n",
                 Timing::seconds(g_timing.refine_since));
}

void done_idle_callback() {
    const auto from = Clock::now();
    g_commands->done_idle();
    g_timing.idle_took(from, "done");
}

void display_callback() {
    const auto from = Clock::now();
    glRasterPos2f(-1.0f, 1.0f);
    glPixelZoom(1.0f, -1.0f);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    const int height = qv_get_image_height(g_state.handle);
    const int width = qv_get_image_width(g_state.handle);
    const unsigned char* image = qv_get_rgb_image(g_state.handle);
    if (image != nullptr) glDrawPixels(width, height, GL_RGB, GL_UNSIGNED_BYTE, image);
    glutSwapBuffers();
    g_timing.display_took(from);
}

void reshape_callback(int width, int height) {
    glViewport(0, 0, width, height);
    g_commands->reshape(width, height);
}

void keyboard_callback(unsigned char key, int, int) {
    g_user_acted = true;
    g_commands->key(key);
}

void special_callback(int key, int, int) {
    g_user_acted = true;
    g_commands->special_key(key, glutGetModifiers());
}

void mouse_callback(int button, int state, int x, int y) {
    g_user_acted = true;
    g_commands->mouse(button, state, x, y, glutGetModifiers());
}

// Signals only raise a flag; this timer turns it into a normal return from
// the main loop, after which the exit handler saves the places.
void stop_poll_callback(int) {
    if (stop_requested()) {
        begin_shutdown();
        glutLeaveMainLoop();
    } else {
        glutTimerFunc(kStopPollMilliseconds, stop_poll_callback, 0);
    }
}

void exit_handler() {
    // The saves below are not cut short by the deadline of a signal that came
    // before; one that comes during them ends the process without them.
    begin_shutdown();
    if (g_timing.on)
        std::fprintf(stderr, "timing: longest idle callback %.3f s, longest display %.3f s\n",
                     g_timing.longest_idle, g_timing.longest_display);
    if (!g_user_acted) g_state.session_path.clear();
    shut_down(g_state);
}

void glut_fatal(const char* format, va_list args) {
    std::fputs("viewer: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    std::exit(1);
}

// Opens a connection only to learn whether there is a display. It stays open
// until GLUT has its own: an X server that loses its last client resets and
// refuses connections for a moment.
Display* probe_display() { return XOpenDisplay(nullptr); }

}  // namespace

int main(int argc, char** argv) {
    // Console lines must appear at once even when standard output is a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Display* probe = probe_display();
    if (probe == nullptr) {
        const char* name = std::getenv("DISPLAY");
        std::fprintf(stderr, "viewer: cannot open the X display \"%s\"; the viewer needs one\n",
                     name != nullptr ? name : "");
        return 1;
    }
    const char* timing = std::getenv("QUORVEL_TIMING");
    g_timing.on = timing != nullptr && *timing != '\0' && *timing != '0';

    std::fputs("This was getting overly long, so have a look at the readme for controls.\n\n",
               stdout);
    print_command_line(stdout, argc, argv);
    StartOptions options = parse_command_line(argc, argv);
    place_user_files(
        options, [](const char* name) { return std::getenv(name); }, folder_writable);
    create_engine(g_state, options, stdout);
    std::atexit(exit_handler);
    load_places_and_palette(g_state, options, stdout);
    if (options.resume) resume_session(g_state, stdout);
    prepare_emergency_exit(g_state.places_path, &g_state.places);

    g_dialogs = make_default_dialogs([](const char* name) { return std::getenv(name); },
                                     isatty(STDIN_FILENO) != 0);
    g_commands.emplace(g_state, g_window, *g_dialogs, stdout);
    install_stop_signals(kStopGraceMicroseconds);

    glutInitErrorFunc(glut_fatal);
    glutInit(&argc, argv);
    glutInitWindowPosition(0, 0);
    // A resumed session brings its own picture size.
    const int width = qv_get_image_width(g_state.handle);
    const int height = qv_get_image_height(g_state.handle);
    glutInitWindowSize(width > 0 ? width : 600, height > 0 ? height : 600);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB);
    glutCreateWindow(g_state.title.data());
    XCloseDisplay(probe);
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutDisplayFunc(display_callback);
    glutKeyboardFunc(keyboard_callback);
    glutSpecialFunc(special_callback);
    glutReshapeFunc(reshape_callback);
    glutMouseFunc(mouse_callback);
    glutTimerFunc(kStopPollMilliseconds, stop_poll_callback, 0);
    glutMainLoop();
    return 0;
}
