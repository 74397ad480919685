// Window, dialogs and console stand-ins for driving Commands in tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "commands.h"
#include "fake_engine.h"

namespace test {

struct RecordingWindow : quorvel::viewer::Window {
    std::vector<quorvel::viewer::Idle> idles;
    std::vector<std::string> titles;
    int redisplays = 0;
    std::vector<std::pair<int, int>> reshapes;

    void set_idle(quorvel::viewer::Idle idle) override { idles.push_back(idle); }
    void set_title(const char* title) override { titles.push_back(title); }
    void post_redisplay() override { ++redisplays; }
    void reshape_window(int w, int h) override { reshapes.emplace_back(w, h); }
};

// Answers dialogs from queues; an empty queue means cancel.
struct ScriptedDialogs : quorvel::viewer::Dialogs {
    std::deque<std::string> opens;
    std::deque<quorvel::viewer::SaveChoice> saves;
    std::vector<quorvel::viewer::FileDialog> asked;
    std::vector<std::string> messages;  // "caption: text"

    std::optional<std::string> open_file(const quorvel::viewer::FileDialog& d) override {
        asked.push_back(d);
        if (opens.empty()) return std::nullopt;
        auto path = opens.front();
        opens.pop_front();
        return path;
    }
    std::optional<quorvel::viewer::SaveChoice> save_file(
        const quorvel::viewer::FileDialog& d) override {
        asked.push_back(d);
        if (saves.empty()) return std::nullopt;
        auto choice = saves.front();
        saves.pop_front();
        return choice;
    }
    void message(const std::string& text, const std::string& caption) override {
        messages.push_back(caption + ": " + text);
    }
};

// Collects what is printed to a FILE*.
class Console {
public:
    Console() : file_(open_memstream(&buffer_, &size_)) {}
    ~Console() {
        std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* file() { return file_; }
    // Everything printed since the last call.
    std::string take() {
        std::fflush(file_);
        std::string text(buffer_, size_);
        std::string fresh = text.substr(taken_);
        taken_ = text.size();
        return fresh;
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::size_t taken_ = 0;
    std::FILE* file_;
};

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qvviewerXXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace test
