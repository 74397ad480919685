#include "commands.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "deep_view.h"
#include "place_store.h"
#include "session.h"
#include "startup.h"
#include "view_text.h"

namespace quorvel::viewer {
namespace {

constexpr int kInitialSize = 600;

char spinner_char(int index) { return index == 0 ? '.' : ' '; }

}  // namespace

bool step_gamma(float& gamma, float delta) {
    gamma += delta;
    if (gamma > kGammaMax) {
        gamma = kGammaMax;
        return false;
    }
    if (gamma < kGammaMin) {
        gamma = kGammaMin;
        return false;
    }
    return true;
}

float raised_cycling_speed(float speed) {
    if (speed == 0.0f) return kCyclingStart;
    if (speed >= kCyclingStart) return speed * 1.5f;
    if (speed >= -kCyclingStart) return 0.0f;
    return speed * kCyclingSlowdown;
}

float lowered_cycling_speed(float speed) {
    if (speed == 0.0f) return -kCyclingStart;
    if (speed <= -kCyclingStart) return speed * 1.5f;
    if (speed <= kCyclingStart) return 0.0f;
    return speed * kCyclingSlowdown;
}

Palette grey_ramp() {
    Palette ramp;
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i / 3);
    return ramp;
}

void create_engine(ViewerState& state, const StartOptions& options, std::FILE* out) {
    state.program_dir = options.program_dir;
    state.places_path = options.places_path;
    const int megabytes = std::min(options.megabytes, kMaxMegabytes);
    state.session_path = options.session_path;
    std::fprintf(out, "memory limit is %u megabytes\n", static_cast<unsigned>(megabytes));
    state.handle = qv_create_context(megabytes);
    qv_set_image_properties(state.handle, kInitialSize, kInitialSize, 1, state.gamma);
}

void load_places_and_palette(ViewerState& state, const StartOptions& options, std::FILE* out) {
    if (options.places_per_user)
        std::fprintf(out, "the program folder is read-only; places are kept in %s\n",
                     options.places_path.c_str());
    load_places(state.handle, options.places_path, state.places, state.place_texts, out);
    std::fprintf(out, "loading palette: %s\n", options.palette_path.c_str());
    // Without a readable palette the window would be all black.
    state.palette = grey_ramp();
    std::string error;
    if (read_palette(options.palette_path, state.palette, error))
        state.palette_path = options.palette_path;
    else
        std::fprintf(out, "cannot read the palette %s: %s; using a grey ramp\n",
                     options.palette_path.c_str(), error.c_str());
    qv_set_palette(state.handle, state.palette.data());
}

void shut_down(ViewerState& state) {
    std::string error;
    save_places(state.places_path, state.places, state.place_texts, error);
    if (state.handle != nullptr && !state.session_path.empty())
        save_session(state.handle, state.session_path, error);
    if (state.handle != nullptr) qv_delete_context(&state.handle);
    state.handle = nullptr;
}

void print_view(qv_handle handle, std::FILE* out) {
    if (const auto deeper = deeper_view(handle)) {
        print_deeper_view(*deeper, qv_get_maximum_iterations(handle), out);
        return;
    }
    double x = 0.0, y = 0.0, radius = 0.0;
    qv_get_view_params_as_doubles(handle, &x, &y, &radius);
    std::fprintf(out, "mandelbrot center = %.10f / %.10f\nradius= %.5g; ", x, y, radius);
    std::fprintf(out, "maximum iteration depth = %u\n", qv_get_maximum_iterations(handle));
}

void Commands::info_print() { print_view(state_.handle, out_); }

common::ViewText Commands::current_view() const {
    char x[64], y[64];
    common::ViewText view;
    qv_get_view_params_as_text(state_.handle, x, y, &view.radius);
    view.centre_x = x;
    view.centre_y = y;
    view.iterations = qv_get_maximum_iterations(state_.handle);
    view.supersampling = state_.supersampling;
    view.gamma = state_.gamma;
    view.palette = state_.palette_path;
    // A deeper view's exact place goes beside the 192-bit lines, so that a
    // picture's view chunk takes the explorer back to it.
    if (auto deeper = deeper_view(state_.handle)) {
        view.exact_x = std::move(deeper->x);
        view.exact_y = std::move(deeper->y);
        view.radius_text = std::move(deeper->radius);
    }
    return view;
}

void Commands::print_render_command() {
    common::ViewText view = current_view();
    // The renderer takes exact texts of any length and depth.
    if (!view.exact_x.empty()) {
        view.centre_x = view.exact_x;
        view.centre_y = view.exact_y;
    }
    std::fprintf(out_, "%s\n",
                 common::render_command_line(view, qv_get_image_width(state_.handle),
                                             qv_get_image_height(state_.handle))
                     .c_str());
}

void Commands::set_title_tail(const char* tail) {
    std::snprintf(state_.title.data() + 1, state_.title.size() - 1, "%s", tail);
    window_.set_title(state_.title.data());
}

void Commands::adjust_iterations(float factor) {
    qv_adjust_maximum_iterations(state_.handle, factor);
    std::fprintf(out_, "max iterations=%u\n", qv_get_maximum_iterations(state_.handle));
    restart_refinement();
}

void Commands::change_cycling_speed(bool raise) {
    float& speed = state_.cycling_speed;
    if (raise ? speed >= kCyclingLimit : speed <= -kCyclingLimit) return;
    speed = raise ? raised_cycling_speed(speed) : lowered_cycling_speed(speed);
    qv_set_palette_cycling_speed(state_.handle, speed);
    restart_refinement();
}

void Commands::step_history(bool forward) {
    if (!(forward ? qv_history_forward(state_.handle) : qv_history_back(state_.handle))) return;
    window_.reshape_window(qv_get_image_width(state_.handle), qv_get_image_height(state_.handle));
    info_print();
    restart_refinement();
}

// The picture's properties, the palette and the history files, where case
// matters; every other key goes on with its case folded.
void Commands::key(unsigned char key) {
    qv_handle handle = state_.handle;
    switch (key) {
        case '0':
        case '9':
            if (!step_gamma(state_.gamma, key == '0' ? kGammaStep : -kGammaStep)) return;
            qv_set_image_properties(handle, -1, -1, -1, state_.gamma);
            window_.view_changed();
            std::fprintf(out_, "aa gamma correction set to %.3f\n", state_.gamma);
            window_.post_redisplay();
            return;
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8': {
            const unsigned n = key - '0';
            qv_set_image_properties(handle, -1, -1, static_cast<int>(n), -1.0f);
            state_.supersampling = static_cast<int>(n);
            if (n == 1)
                std::fputs("no antialiasing\n", out_);
            else
                std::fprintf(out_, "%ux%u ordered grid supersampling\n", n, n);
            restart_refinement();
            return;
        }
        case 'q':
            adjust_iterations(2.0f);
            return;
        case 'Q':
            adjust_iterations(1.25f);
            return;
        case 'a':
            adjust_iterations(0.5f);
            return;
        case 'A':
            adjust_iterations(0.8f);
            return;
        case 'c':
            change_cycling_speed(true);
            return;
        case 'C':
            change_cycling_speed(false);
            return;
        case 'p':
            choose_palette();
            restart_refinement();
            return;
        case 'P':
            std::fputs("Resetting palette\n", out_);
            state_.cycling_speed = 0.0f;
            qv_set_palette_cycling_speed(handle, 0.0f);
            qv_set_palette(handle, state_.palette.data());
            restart_refinement();
            return;
        case 'H':
            save_history();
            return;
        case 'h':
            load_history();
            window_.reshape_window(qv_get_image_width(handle), qv_get_image_height(handle));
            info_print();
            restart_refinement();
            return;
        default:
            break;
    }
    key_ignoring_case(fold_case(key));
}

// The view, the history position and the modes: these keys ignore case.
void Commands::key_ignoring_case(unsigned char key) {
    qv_handle handle = state_.handle;
    switch (key) {
        case 'Y':
            step_history(false);
            return;
        case 'X':
            step_history(true);
            return;
        case 0:  // the space bar
            qv_set_view_params_from_doubles(handle, 0.0, 0.0, 2.0);
            info_print();
            restart_refinement();
            return;
        case 'L':
            state_.mouse_lock = !state_.mouse_lock;
            set_title_tail(state_.mouse_lock ? "Mouse lock active" : "Mouse lock off");
            return;
        case 'M': {
            // Brute force is only for comparisons; the key alternates between
            // the two clever strategies.
            int type = qv_change_generator_type(handle);
            for (int tries = 0; type == 2 && tries < 3; ++tries)
                type = qv_change_generator_type(handle);
            std::fprintf(out_, "using %s\n", qv_describe_generator(type));
            restart_refinement();
            return;
        }
        case 'D':
            std::fputs(qv_toggle_preview(handle) ? "preview enabled\n" : "preview disabled\n",
                       out_);
            return;
        case 'B':
            state_.background_crunching = !state_.background_crunching;
            std::fputs(state_.background_crunching ? "background crunching on\n"
                                                   : "background crunching off\n",
                       out_);
            restart_refinement();
            return;
        case 'K': {
            // auto -> perturbation -> plain -> exact -> auto
            static const int next[4] = {2, 0, 3, 1};
            static const char* const names[4] = {"auto", "exact", "perturbation", "plain"};
            const int mode = next[qv_get_deep_kernel(handle) % 4];
            qv_set_deep_kernel(handle, mode);
            std::fprintf(out_, "deep kernel: %s\n", names[mode]);
            restart_refinement();
            return;
        }
        case 'R':
            qv_reset_current_view(handle);
            std::fputs("restarting\n", out_);
            restart_refinement();
            return;
        case 'S':
            export_picture();
            return;
        case 'V':
            print_render_command();
            return;
        default:
            return;
    }
}

void Commands::special_key(int key, int modifiers) {
    qv_handle handle = state_.handle;
    const bool shift = (modifiers & glut::kShift) != 0;
    if (key >= glut::kF1 && key <= glut::kF12) {
        const unsigned n = static_cast<unsigned>(key);
        Location& place = state_.places[n - 1];
        auto& text = state_.place_texts[n - 1];
        if ((modifiers & glut::kCtrl) != 0) {
            store_place(handle, place, text);
            // At once, so that no crash or kill loses a stored place.
            std::string error;
            const bool written =
                save_places(state_.places_path, state_.places, state_.place_texts, error);
            std::fprintf(out_, "saved this location to slot #%u\n", n);
            if (!written) std::fprintf(out_, "cannot save the places: %s\n", error.c_str());
        } else {
            restore_place(handle, place, text);
            std::fprintf(out_, "restored location #%u\n", n);
            info_print();
            restart_refinement();
        }
        return;
    }
    const float step = shift ? 0.3125f : 0.125f;
    switch (key) {
        case glut::kPageUp:
            qv_zoom_centered(handle, shift ? 2.56f : 1.6f);
            break;
        case glut::kPageDown:
            qv_zoom_centered(handle, shift ? 0.390625f : 0.625f);
            break;
        case glut::kLeft:
            qv_move(handle, -step, 0.0f);
            break;
        case glut::kRight:
            qv_move(handle, step, 0.0f);
            break;
        case glut::kUp:
            qv_move(handle, 0.0f, step);
            break;
        case glut::kDown:
            qv_move(handle, 0.0f, -step);
            break;
        default:
            return;  // includes the modifier keys themselves (112 to 117)
    }
    info_print();
    restart_refinement();
}

void Commands::mouse(int button, int button_state, int x, int y, int modifiers) {
    if (state_.mouse_lock) {
        set_title_tail("Press L first.");
        return;
    }
    if (button_state != glut::kButtonUp) return;
    const bool shift = (modifiers & glut::kShift) != 0;
    if (button == glut::kLeftButton)
        qv_zoom_on_window_coord(state_.handle, x, y, shift ? 16.0f : 2.0f);
    else if (button == glut::kRightButton)
        qv_zoom_on_window_coord(state_.handle, x, y, shift ? 0.0625f : 0.5f);
    info_print();
    restart_refinement();
}

void Commands::reshape(int width, int height) {
    qv_set_image_properties(state_.handle, width, height, -1, -1.0f);
    restart_refinement();
}

bool Commands::refine_idle() {
    qv_handle handle = state_.handle;
    const bool worked = qv_refine_image(handle);
    if (worked) {
        std::snprintf(state_.title.data(), state_.title.size(), "%ccrunching - %.1f%%",
                      spinner_char(state_.spinner),
                      static_cast<double>(qv_get_progress(handle)) * 100.0);
    } else {
        std::snprintf(state_.title.data(), state_.title.size(),
                      " done    %.1f%% efficiency, %.1f seconds",
                      static_cast<double>(qv_get_cleverness(handle)) * 100.0,
                      static_cast<double>(qv_get_time_spent(handle)));
        window_.set_idle(Idle::done);
    }
    append_depth_to_title();
    state_.spinner = (state_.spinner - 1) & 1;
    window_.set_title(state_.title.data());
    window_.post_redisplay();
    return !worked;
}

void Commands::append_depth_to_title() {
    const std::string depth = title_depth(state_.handle);
    if (depth.empty()) return;
    const std::size_t used = std::strlen(state_.title.data());
    std::snprintf(state_.title.data() + used, state_.title.size() - used, "%s", depth.c_str());
}

void Commands::done_idle() {
    if (state_.background_crunching && qv_refine_history(state_.handle)) {
        state_.spinner = (state_.spinner - 1) & 1;
        state_.title[0] = spinner_char(state_.spinner);
    } else {
        state_.title[0] = ' ';
        window_.set_idle(state_.cycling_speed != 0.0f ? Idle::redisplay : Idle::none);
    }
    window_.set_title(state_.title.data());
    if (state_.cycling_speed != 0.0f) window_.post_redisplay();
}

}  // namespace quorvel::viewer
