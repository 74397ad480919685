#include "session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "commands.h"
#include "emergency.h"
#include "history_files.h"
#include "regular_file.h"

namespace quorvel::viewer {
namespace {

std::string folder_from(const GetEnv& getenv, const char* variable, const char* fallback) {
    const char* base = getenv(variable);
    if (base != nullptr && base[0] == '/') return std::string(base) + "/quorvel/";
    const char* home = getenv("HOME");
    if (home == nullptr || home[0] != '/') return {};
    return std::string(home) + fallback + "/quorvel/";
}

// The context section of a history file up to the palette: magic, tag,
// version, budget, capacity, current, last, preview, gamma, cycling speed.
constexpr std::size_t kGammaOffset = 8 + 8 + 5 + 4 + 4 + 4 + 4 + 1;
constexpr std::size_t kPaletteOffset = kGammaOffset + 8;

}  // namespace

std::string user_config_folder(const GetEnv& getenv) {
    return folder_from(getenv, "XDG_CONFIG_HOME", "/.config");
}

std::string user_state_folder(const GetEnv& getenv) {
    return folder_from(getenv, "XDG_STATE_HOME", "/.local/state");
}

bool make_folders(const std::string& folder, std::string& error) {
    for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const std::string part = folder.substr(0, end);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create the folder " + part + ": " + std::strerror(errno);
            return false;
        }
        if (end == std::string::npos) return true;
    }
}

bool folder_writable(const std::string& folder) {
    return ::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0;
}

bool save_session(qv_handle handle, const std::string& path, std::string& error) {
    // The engine itself writes a temporary file, syncs it and renames it; a
    // signal that ends the process meanwhile removes it.
    note_engine_save(path);
    if (qv_save_minimum(handle, path.c_str())) return true;
    error = "cannot write the session " + path;
    return false;
}

std::optional<HistorySettings> read_history_settings(const std::string& path) {
    std::string problem;
    const int fd = common::open_regular_file(path, problem);
    if (fd < 0) return std::nullopt;
    std::uint8_t head[kPaletteOffset + 768];
    const bool whole = ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head);
    ::close(fd);
    if (!whole || std::memcmp(head, "quorvel\nContext\n", 16) != 0) return std::nullopt;
    HistorySettings settings;
    std::memcpy(&settings.gamma, head + kGammaOffset, 4);
    std::memcpy(&settings.cycling_speed, head + kGammaOffset + 4, 4);
    std::memcpy(settings.palette.data(), head + kPaletteOffset, settings.palette.size());
    return settings;
}

void place_user_files(StartOptions& options, const GetEnv& getenv,
                      const std::function<bool(const std::string&)>& writable) {
    std::string error;
    if (!writable(options.program_dir)) {
        const std::string folder = user_config_folder(getenv);
        if (!folder.empty()) {
            make_folders(folder, error);  // a failure shows when the places are written
            options.places_path = folder + "places";
            options.places_per_user = true;
        }
    }
    const std::string state = user_state_folder(getenv);
    if (!state.empty()) {
        make_folders(state, error);
        options.session_path = state + "session.q";
    }
}

bool resume_session(ViewerState& state, std::FILE* out) {
    const std::string& path = state.session_path;
    std::optional<std::string> problem;
    if (path.empty()) problem = "no state folder is known (HOME is not set)";
    if (!problem) problem = history_file_problem(path);
    if (!problem && !qv_load(state.handle, path.c_str())) problem = "it is damaged";
    if (problem) {
        std::fprintf(out, "cannot resume the session %s: %s\n", path.c_str(), problem->c_str());
        return false;
    }
    // The keys 0/9, c/C and P work from the viewer's copies of these settings.
    if (auto settings = read_history_settings(path)) {
        state.gamma = settings->gamma;
        state.cycling_speed = settings->cycling_speed;
        state.palette = settings->palette;
    }
    std::fprintf(out, "resumed the session %s\n", path.c_str());
    print_view(state.handle, out);
    return true;
}

}  // namespace quorvel::viewer
