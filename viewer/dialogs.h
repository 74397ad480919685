// File dialogs and message boxes. Three backends, chosen at start-up: zenity,
// kdialog (both need a display) and the terminal. QUORVEL_DIALOGS=zenity,
// kdialog or terminal forces one. The terminal backend reads standard input
// only when it is a terminal or when forced; otherwise every dialog cancels,
// so an unattended viewer never blocks on input.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::viewer {

struct FileFilter {
    std::string description;  // "Palettes"
    std::string pattern;      // "*.PAL"
};

struct FileDialog {
    std::string title{};
    std::vector<FileFilter> filters{};
    std::string file_name{};          // preset name ("history.q"), may be empty
    std::string initial_directory{};  // may be empty
    std::string default_extension{};  // without the dot; saves only
    bool overwrite_prompt = false;    // saves only
};

struct SaveChoice {
    std::string path;
    int filter_index = 1;  // 1-based, as in the filter list
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual std::optional<std::string> open_file(const FileDialog& dialog) = 0;
    virtual std::optional<SaveChoice> save_file(const FileDialog& dialog) = 0;
    virtual void message(const std::string& text, const std::string& caption) = 0;
};

// The questions a backend can ask; Dialogs are built on top of them.
class DialogBackend {
public:
    virtual ~DialogBackend() = default;
    // A path, or nothing on cancel.
    virtual std::optional<std::string> pick_file(const FileDialog& dialog, bool save) = 0;
    // The 1-based filter index, or nothing on cancel.
    virtual std::optional<int> pick_filter(const FileDialog& dialog) = 0;
    virtual bool confirm_overwrite(const FileDialog& dialog, const std::string& path) = 0;
    virtual void message(const std::string& text, const std::string& caption) = 0;
    // Graphical pickers ask about overwriting the name they return themselves.
    // No backend reports the filter: it is inferred from the extension, and
    // asked for only when that is ambiguous.
    virtual bool graphical() const = 0;
};

// Extension of the last path component, without the dot; empty if none.
std::string file_extension(const std::string& path);
// Whether a pattern such as "*.q", "*.TGA" or "*.*" accepts the extension
// (case-insensitive).
bool pattern_matches_extension(const std::string& pattern, const std::string& extension);
// The extension a save adds to a name typed without one: the chosen filter's
// own ("*.png" gives "png"), else the dialog's default extension.
std::string extension_to_add(const FileDialog& dialog, int filter_index);

// Open and save flows over one backend: filter inference, default extension,
// overwrite question.
std::unique_ptr<Dialogs> make_dialogs(std::unique_ptr<DialogBackend> backend);

std::unique_ptr<DialogBackend> make_zenity_backend();
std::unique_ptr<DialogBackend> make_kdialog_backend();
// Prompts go to `prompts`, answers are read from `answers`; message boxes go to
// `errors` as "caption: text".
std::unique_ptr<DialogBackend> make_terminal_backend(std::FILE* answers, std::FILE* prompts,
                                                     std::FILE* errors);
// Cancels every dialog, saying so and how to get one on `errors`; message
// boxes go there too.
std::unique_ptr<DialogBackend> make_silent_backend(std::FILE* errors);

// Picks the backend as described at the top of this file. `getenv` is
// injectable for tests.
using EnvLookup = std::function<const char*(const char*)>;
std::unique_ptr<Dialogs> make_default_dialogs(const EnvLookup& getenv, bool stdin_is_terminal);

// Whether `program` is an executable file in one of the PATH directories.
bool find_in_path(const std::string& program, const char* path_variable);

// Runs a program without a shell, its standard input from /dev/null and its
// standard error discarded; returns its exit status and standard output, or
// nothing if it could not be started.
struct RunResult {
    int status = -1;
    std::string output;
};
std::optional<RunResult> run_program(const std::vector<std::string>& argv);

}  // namespace quorvel::viewer
