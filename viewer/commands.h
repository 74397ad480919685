// The viewer's state and its commands: keys, special keys, mouse, reshape and
// the idle steps. Window-system calls go through the Window interface, so the
// logic runs without GLUT.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "dialogs.h"
#include "palette_file.h"
#include "places.h"
#include "places_text.h"
#include "quorvel.h"
#include "view_text.h"

namespace quorvel::viewer {

// GLUT's numbers, repeated so the logic needs no GLUT header.
namespace glut {
inline constexpr int kShift = 1, kCtrl = 2;
inline constexpr int kF1 = 1, kF12 = 12;
inline constexpr int kLeft = 100, kUp = 101, kRight = 102, kDown = 103;
inline constexpr int kPageUp = 104, kPageDown = 105;
inline constexpr int kLeftButton = 0, kMiddleButton = 1, kRightButton = 2;
inline constexpr int kButtonDown = 0, kButtonUp = 1;
}  // namespace glut

inline constexpr float kGammaStep = 0.125f, kGammaMin = 0.5f, kGammaMax = 2.5f;
inline constexpr float kCyclingStart = 8.0f, kCyclingLimit = 256.0f;
// One unit in the last place below the float nearest to 2/3.
inline constexpr float kCyclingSlowdown = std::bit_cast<float>(0x3F2AAAAAu);

enum class Idle { none, refine, done, redisplay };

class Window {
public:
    virtual ~Window() = default;
    virtual void set_idle(Idle idle) = 0;
    virtual void set_title(const char* title) = 0;
    virtual void post_redisplay() = 0;
    virtual void reshape_window(int width, int height) = 0;
    // The view or a setting changed: the session is due to be saved.
    virtual void view_changed() {}
};

struct ViewerState {
    qv_handle handle = nullptr;
    std::array<char, 128> title{"hnngrgrl"};
    int spinner = 0;  // 0 shows '.', 1 shows ' '
    float gamma = 1.75f;
    bool background_crunching = true;
    bool mouse_lock = false;
    float cycling_speed = 0.0f;
    Palette palette{};
    Places places{};
    PlaceTexts place_texts{};  // the places' exact views, beside their records
    std::string program_dir;
    std::string places_path;
    // For the V key and the picture's view: the palette file in use and the
    // supersampling last chosen (the engine does not tell them).
    std::string palette_path;
    int supersampling = 1;
    std::string session_path;  // empty: no session is kept
};

// Case folding of the keys that ignore case: clears the value-32 bit.
constexpr unsigned char fold_case(unsigned char key) { return key & ~0x20u; }

// Adds delta to gamma; a result outside [0.5, 2.5] is clamped and false is
// returned (the command then does nothing else).
bool step_gamma(float& gamma, float delta);

// The c and C rules: 0 -> 8 -> 12 -> 18 ... and 0 -> -8 -> -12 ...; a step
// toward zero from within (-8, 8) lands on 0.
float raised_cycling_speed(float speed);
float lowered_cycling_speed(float speed);

// The palette used when none can be read: a grey ramp, black to white.
Palette grey_ramp();

// The engine keeps its budget in 32 bits and caps it at 1024 megabytes.
inline constexpr int kMaxMegabytes = 1024;

struct StartOptions;

// Start-up after the command line: prints the memory limit, creates the
// context and sets the 600 x 600 image.
void create_engine(ViewerState& state, const StartOptions& options, std::FILE* console);
// Start-up after the exit handler is registered: the places (or twelve copies
// of the start view) and the palette.
void load_places_and_palette(ViewerState& state, const StartOptions& options, std::FILE* console);
// What the exit handler does: writes the places and the session, then deletes
// the context.
void shut_down(ViewerState& state);

// The centre, radius and iteration limit, as every view change prints them.
void print_view(qv_handle handle, std::FILE* out);
// A colour mapping other than the plain one as text ("colour density 8, phase
// 16, smooth"); empty for the plain one.
std::string mapping_text(qv_handle handle);
// Palette steps the phase key adds.
inline constexpr double kPhaseStep = 16.0;

class Commands {
public:
    Commands(ViewerState& state, Window& window, Dialogs& dialogs, std::FILE* console)
        : state_(state), window_(window), dialogs_(dialogs), out_(console) {}

    void key(unsigned char key);
    void special_key(int key, int modifiers);
    void mouse(int button, int button_state, int x, int y, int modifiers);
    void reshape(int width, int height);
    // One call of the refine idle; true when the view turned out complete.
    bool refine_idle();
    void done_idle();

    // The dialogs behind keys p, H, h and S.
    void choose_palette();
    void save_history();
    void load_history();
    void export_picture();
    // The V key: a quorvel-render command line for the view on show.
    void print_render_command();

private:
    void key_ignoring_case(unsigned char key);
    void info_print();
    common::ViewText current_view() const;
    void restart_refinement() {
        window_.view_changed();
        window_.set_idle(Idle::refine);
    }
    void set_title_tail(const char* tail);
    // A deeper view's radius after the title's progress or efficiency.
    void append_depth_to_title();
    // Multiplies the colour density, adds to the phase, flips smooth colouring.
    void change_mapping(double density_factor, double phase_step, bool flip_smooth);
    void adjust_iterations(float factor);
    void change_cycling_speed(bool raise);
    void step_history(bool forward);

    ViewerState& state_;
    Window& window_;
    Dialogs& dialogs_;
    std::FILE* out_;
};

}  // namespace quorvel::viewer
