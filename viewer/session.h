// The viewer's per-user files: where the places go when the program folder is
// read-only, and the session (the whole history, autosaved as a minimum
// history file) that "viewer -resume" starts from.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "quorvel.h"
#include "startup.h"

namespace quorvel::viewer {

using GetEnv = std::function<const char*(const char*)>;

// $XDG_CONFIG_HOME/quorvel/, else ~/.config/quorvel/ (an unset, empty or
// relative variable counts as unset). Empty when neither is known.
std::string user_config_folder(const GetEnv& getenv);
// $XDG_STATE_HOME/quorvel/, else ~/.local/state/quorvel/.
std::string user_state_folder(const GetEnv& getenv);

// Creates the folder and its parents (mode 0700 for new ones). False with the
// reason in error.
bool make_folders(const std::string& folder, std::string& error);

// Whether files can be created in the folder ("" is the current folder).
bool folder_writable(const std::string& folder);

// Writes the engine's whole history as a minimum history file; the engine
// replaces the file atomically, so the old session stays whole on failure.
bool save_session(qv_handle handle, const std::string& path, std::string& error);

// What a history file's context section holds beside the views, for the
// viewer's own copies of these settings.
struct HistorySettings {
    float gamma = 0.0f;
    float cycling_speed = 0.0f;
    std::array<std::uint8_t, 768> palette{};
};
std::optional<HistorySettings> read_history_settings(const std::string& path);

// Where the places and the session go: the places stay beside the program
// when its folder is writable, else they move to the user's config folder; the
// session lives in the user's state folder. Creates the folders used.
void place_user_files(StartOptions& options, const GetEnv& getenv,
                      const std::function<bool(const std::string&)>& writable);

struct ViewerState;
// Loads the session into the engine and sets the viewer's own copies of the
// gamma, the cycling speed and the palette from it; says what happened.
bool resume_session(ViewerState& state, std::FILE* out);

// When the autosave writes: at most once every interval, yet never later than
// one interval after a change. Times are seconds on any steady clock.
class AutosaveSchedule {
public:
    explicit AutosaveSchedule(double interval = 2.0) : interval_(interval) {}
    void changed() { dirty_ = true; }
    bool pending() const { return dirty_; }
    // Seconds until the next write may happen; 0 when it is due now.
    double wait(double now) const { return now >= next_allowed_ ? 0.0 : next_allowed_ - now; }
    void saved(double now) {
        dirty_ = false;
        next_allowed_ = now + interval_;
    }

private:
    double interval_;
    double next_allowed_ = 0.0;
    bool dirty_ = false;
};

}  // namespace quorvel::viewer
