#include "dialogs.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace quorvel::viewer {
namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool file_exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

std::string strip_line_end(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string with_slash(const std::string& directory) {
    if (directory.empty() || directory.back() == '/') return directory;
    return directory + "/";
}

class FlowDialogs final : public Dialogs {
public:
    explicit FlowDialogs(std::unique_ptr<DialogBackend> backend) : backend_(std::move(backend)) {}

    std::optional<std::string> open_file(const FileDialog& dialog) override {
        auto path = backend_->pick_file(dialog, false);
        if (!path || path->empty()) return std::nullopt;
        return path;
    }

    std::optional<SaveChoice> save_file(const FileDialog& dialog) override {
        auto name = backend_->pick_file(dialog, true);
        if (!name || name->empty()) return std::nullopt;
        int index = 1;
        if (dialog.filters.size() > 1) {
            // A name whose extension belongs to one filter only says the type
            // (pictures); only otherwise is the user asked (histories: both "*.q").
            std::optional<int> chosen = infer_filter(dialog, file_extension(*name));
            if (!chosen) chosen = backend_->pick_filter(dialog);
            if (!chosen) return std::nullopt;
            index = *chosen;
        }
        std::string path = *name;
        // A graphical picker has already asked about the name it returned.
        bool confirmed = backend_->graphical();
        if (file_extension(path).empty()) {
            const std::string extension = extension_to_add(dialog, index);
            if (!extension.empty()) {
                if (path.back() != '.') path += '.';
                path += extension;
                confirmed = false;
            }
        }
        if (dialog.overwrite_prompt && !confirmed && file_exists(path) &&
            !backend_->confirm_overwrite(dialog, path))
            return std::nullopt;
        return SaveChoice{path, index};
    }

    void message(const std::string& text, const std::string& caption) override {
        backend_->message(text, caption);
    }

private:
    static std::optional<int> infer_filter(const FileDialog& dialog, const std::string& extension) {
        if (extension.empty()) return std::nullopt;
        int found = 0, matches = 0;
        for (std::size_t i = 0; i < dialog.filters.size(); ++i) {
            if (pattern_matches_extension(dialog.filters[i].pattern, extension)) {
                found = static_cast<int>(i) + 1;
                ++matches;
            }
        }
        if (matches != 1) return std::nullopt;
        return found;
    }

    std::unique_ptr<DialogBackend> backend_;
};

void message_to(std::FILE* out, const std::string& text, const std::string& caption) {
    std::fprintf(out, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(out);
}

// GTK's file filters match case-sensitively; "*.PAL" should also show "x.pal".
std::string either_case(const std::string& pattern) {
    std::string lower_case = lower(pattern), upper_case = pattern;
    for (char& c : upper_case) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string result = pattern;
    if (lower_case != pattern) result += " " + lower_case;
    if (upper_case != pattern && upper_case != lower_case) result += " " + upper_case;
    return result;
}

class ZenityBackend final : public DialogBackend {
public:
    std::optional<std::string> pick_file(const FileDialog& dialog, bool save) override {
        std::vector<std::string> argv = {"zenity", "--file-selection", "--title=" + dialog.title};
        if (save) {
            argv.push_back("--save");
            argv.push_back("--confirm-overwrite");
        }
        const std::string start = with_slash(dialog.initial_directory) + dialog.file_name;
        if (!start.empty()) argv.push_back("--filename=" + start);
        for (const FileFilter& filter : dialog.filters)
            argv.push_back("--file-filter=" + filter.description + " | " +
                           either_case(filter.pattern));
        return answer(argv);
    }

    std::optional<int> pick_filter(const FileDialog& dialog) override {
        std::vector<std::string> argv = {
            "zenity",           "--list",          "--title=" + dialog.title,
            "--text=File type", "--column=#",      "--column=File type",
            "--hide-column=1",  "--print-column=1"};
        for (std::size_t i = 0; i < dialog.filters.size(); ++i) {
            argv.push_back(std::to_string(i + 1));
            argv.push_back(dialog.filters[i].description);
        }
        return index_answer(answer(argv), dialog.filters.size());
    }

    bool confirm_overwrite(const FileDialog& dialog, const std::string& path) override {
        auto result = run_program({"zenity", "--question", "--no-markup", "--title=" + dialog.title,
                                   "--text=" + path + " already exists. Replace it?"});
        return result && result->status == 0;
    }

    void message(const std::string& text, const std::string& caption) override {
        auto result = run_program(
            {"zenity", "--error", "--no-markup", "--title=" + caption, "--text=" + text});
        if (!result) message_to(stderr, text, caption);
    }

    bool graphical() const override { return true; }

    static std::optional<std::string> answer(const std::vector<std::string>& argv) {
        auto result = run_program(argv);
        if (!result || result->status != 0) return std::nullopt;
        std::string text = strip_line_end(result->output);
        if (text.empty()) return std::nullopt;
        return text;
    }

    static std::optional<int> index_answer(const std::optional<std::string>& text,
                                           std::size_t count) {
        if (!text) return std::nullopt;
        char* end = nullptr;
        long value = std::strtol(text->c_str(), &end, 10);
        if (end == text->c_str() || value < 1 || value > static_cast<long>(count))
            return std::nullopt;
        return static_cast<int>(value);
    }
};

class KdialogBackend final : public DialogBackend {
public:
    std::optional<std::string> pick_file(const FileDialog& dialog, bool save) override {
        std::string start = with_slash(dialog.initial_directory) + dialog.file_name;
        if (start.empty()) start = std::string(".");
        std::string filter;
        for (const FileFilter& f : dialog.filters) {
            if (!filter.empty()) filter += '\n';
            filter += f.pattern + "|" + f.description;
        }
        return ZenityBackend::answer({"kdialog", "--title", dialog.title,
                                      save ? "--getsavefilename" : "--getopenfilename", start,
                                      filter});
    }

    std::optional<int> pick_filter(const FileDialog& dialog) override {
        std::vector<std::string> argv = {"kdialog", "--title", dialog.title, "--menu", "File type"};
        for (std::size_t i = 0; i < dialog.filters.size(); ++i) {
            argv.push_back(std::to_string(i + 1));
            argv.push_back(dialog.filters[i].description);
        }
        return ZenityBackend::index_answer(ZenityBackend::answer(argv), dialog.filters.size());
    }

    bool confirm_overwrite(const FileDialog& dialog, const std::string& path) override {
        auto result = run_program({"kdialog", "--title", dialog.title, "--warningyesno",
                                   path + " already exists. Replace it?"});
        return result && result->status == 0;
    }

    void message(const std::string& text, const std::string& caption) override {
        auto result = run_program({"kdialog", "--title", caption, "--error", text});
        if (!result) message_to(stderr, text, caption);
    }

    bool graphical() const override { return true; }
};

class TerminalBackend final : public DialogBackend {
public:
    TerminalBackend(std::FILE* answers, std::FILE* prompts, std::FILE* errors)
        : answers_(answers), prompts_(prompts), errors_(errors) {}

    std::optional<std::string> pick_file(const FileDialog& dialog, bool save) override {
        std::fprintf(prompts_, "%s\n", dialog.title.c_str());
        for (std::size_t i = 0; i < dialog.filters.size(); ++i)
            std::fprintf(prompts_, "  %zu: %s (%s)\n", i + 1, dialog.filters[i].description.c_str(),
                         dialog.filters[i].pattern.c_str());
        if (save && !dialog.file_name.empty())
            std::fprintf(prompts_, "suggested name: %s\n", dialog.file_name.c_str());
        if (!dialog.initial_directory.empty())
            std::fprintf(prompts_, "relative names are taken in %s\n",
                         dialog.initial_directory.c_str());
        std::fputs(save ? "save as (empty line cancels): " : "open (empty line cancels): ",
                   prompts_);
        std::fflush(prompts_);
        auto line = read_line();
        if (!line || line->empty()) return std::nullopt;
        if (line->front() != '/' && !dialog.initial_directory.empty())
            return with_slash(dialog.initial_directory) + *line;
        return line;
    }

    std::optional<int> pick_filter(const FileDialog& dialog) override {
        const std::size_t count = dialog.filters.size();
        for (;;) {
            std::fprintf(prompts_, "type [1-%zu, Enter = 1]: ", count);
            std::fflush(prompts_);
            auto line = read_line();
            if (!line) return std::nullopt;
            if (line->empty()) return 1;
            char* end = nullptr;
            long value = std::strtol(line->c_str(), &end, 10);
            if (end != line->c_str() && *end == '\0' && value >= 1 &&
                value <= static_cast<long>(count))
                return static_cast<int>(value);
        }
    }

    bool confirm_overwrite(const FileDialog&, const std::string& path) override {
        std::fprintf(prompts_, "%s exists; overwrite? y/N: ", path.c_str());
        std::fflush(prompts_);
        auto line = read_line();
        return line && (lower(*line) == "y" || lower(*line) == "yes");
    }

    void message(const std::string& text, const std::string& caption) override {
        message_to(errors_, text, caption);
    }

    bool graphical() const override { return false; }

private:
    // One line without its line end; nothing at end of input (or when a
    // signal interrupts the read).
    std::optional<std::string> read_line() {
        std::string line;
        char chunk[256];
        while (std::fgets(chunk, sizeof chunk, answers_) != nullptr) {
            line += chunk;
            if (!line.empty() && line.back() == '\n') return strip_line_end(line);
        }
        std::clearerr(answers_);
        if (line.empty()) return std::nullopt;
        return strip_line_end(line);
    }

    std::FILE* answers_;
    std::FILE* prompts_;
    std::FILE* errors_;
};

class SilentBackend final : public DialogBackend {
public:
    explicit SilentBackend(std::FILE* errors) : errors_(errors) {}
    std::optional<std::string> pick_file(const FileDialog&, bool) override {
        std::fputs(
            "no file dialog available (no zenity or kdialog, and standard input is not a "
            "terminal); start the viewer from a terminal with QUORVEL_DIALOGS=terminal\n",
            errors_);
        std::fflush(errors_);
        return std::nullopt;
    }
    std::optional<int> pick_filter(const FileDialog&) override { return std::nullopt; }
    bool confirm_overwrite(const FileDialog&, const std::string&) override { return false; }
    void message(const std::string& text, const std::string& caption) override {
        message_to(errors_, text, caption);
    }
    bool graphical() const override { return false; }

private:
    std::FILE* errors_;
};

}  // namespace

std::string file_extension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= start) return {};
    return path.substr(dot + 1);
}

bool pattern_matches_extension(const std::string& pattern, const std::string& extension) {
    if (!pattern.starts_with("*.")) return false;
    const std::string wanted = pattern.substr(2);
    return wanted == "*" || lower(wanted) == lower(extension);
}

std::string extension_to_add(const FileDialog& dialog, int filter_index) {
    if (filter_index >= 1 && static_cast<std::size_t>(filter_index) <= dialog.filters.size()) {
        const std::string& pattern = dialog.filters[filter_index - 1].pattern;
        if (pattern.starts_with("*.") && pattern.find_first_of("*?", 2) == std::string::npos)
            return pattern.substr(2);
    }
    return dialog.default_extension;
}

std::unique_ptr<Dialogs> make_dialogs(std::unique_ptr<DialogBackend> backend) {
    return std::make_unique<FlowDialogs>(std::move(backend));
}

std::unique_ptr<DialogBackend> make_zenity_backend() { return std::make_unique<ZenityBackend>(); }
std::unique_ptr<DialogBackend> make_kdialog_backend() { return std::make_unique<KdialogBackend>(); }
std::unique_ptr<DialogBackend> make_terminal_backend(std::FILE* answers, std::FILE* prompts,
                                                     std::FILE* errors) {
    return std::make_unique<TerminalBackend>(answers, prompts, errors);
}
std::unique_ptr<DialogBackend> make_silent_backend(std::FILE* errors) {
    return std::make_unique<SilentBackend>(errors);
}

std::unique_ptr<Dialogs> make_default_dialogs(const EnvLookup& getenv, bool stdin_is_terminal) {
    const char* forced = getenv("QUORVEL_DIALOGS");
    const std::string choice = forced != nullptr ? forced : "";
    if (choice == "zenity") return make_dialogs(make_zenity_backend());
    if (choice == "kdialog") return make_dialogs(make_kdialog_backend());
    if (choice == "terminal") return make_dialogs(make_terminal_backend(stdin, stderr, stderr));
    auto set = [&](const char* name) {
        const char* value = getenv(name);
        return value != nullptr && *value != '\0';
    };
    const bool display = set("DISPLAY") || set("WAYLAND_DISPLAY");
    const char* path = getenv("PATH");
    if (display && find_in_path("zenity", path)) return make_dialogs(make_zenity_backend());
    if (display && find_in_path("kdialog", path)) return make_dialogs(make_kdialog_backend());
    if (stdin_is_terminal) return make_dialogs(make_terminal_backend(stdin, stderr, stderr));
    return make_dialogs(make_silent_backend(stderr));
}

bool find_in_path(const std::string& program, const char* path_variable) {
    if (path_variable == nullptr) return false;
    std::string_view rest = path_variable;
    for (;;) {
        const std::size_t colon = rest.find(':');
        std::string directory(rest.substr(0, colon));
        if (directory.empty()) directory = std::string(".");
        const std::string candidate = with_slash(directory) + program;
        struct stat info;
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return true;
        if (colon == std::string_view::npos) return false;
        rest.remove_prefix(colon + 1);
    }
}

std::optional<RunResult> run_program(const std::vector<std::string>& argv) {
    if (argv.empty()) return std::nullopt;
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (spawned != 0) {
        ::close(pipe_fds[0]);
        return std::nullopt;
    }
    RunResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace quorvel::viewer
