#include "dialogs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "test_support.h"

namespace {

using namespace quorvel::viewer;

FileDialog picture_dialog() {
    FileDialog d;
    d.title = "Give me a name ... save me!";
    d.filters = {{"TGA images", "*.TGA"}, {"PNG images", "*.png"}};
    d.file_name = "yipiieh.TGA";
    d.default_extension = "TGA";
    d.overwrite_prompt = true;
    return d;
}

FileDialog history_dialog() {
    FileDialog d;
    d.title = "Save your history today!";
    d.filters = {{"Full work progress", "*.q"}, {"Coords and settings only", "*.q"}};
    d.file_name = "history.q";
    d.default_extension = "q";
    d.overwrite_prompt = true;
    return d;
}

FileDialog palette_dialog(const std::string& directory) {
    FileDialog d;
    d.title = "Select a new palette, baby";
    d.filters = {{"Palettes", "*.PAL"}, {"All files", "*.*"}};
    d.initial_directory = directory;
    return d;
}

TEST(DialogHelpers, ExtensionsAndPatterns) {
    EXPECT_EQ(file_extension("/a/b.c/pic.png"), "png");
    EXPECT_EQ(file_extension("/a/b.c/pic"), "");
    EXPECT_EQ(file_extension(".hidden"), "");
    EXPECT_TRUE(pattern_matches_extension("*.TGA", "tga"));
    EXPECT_TRUE(pattern_matches_extension("*.*", "anything"));
    EXPECT_FALSE(pattern_matches_extension("*.q", "qq"));
    EXPECT_EQ(extension_to_add(picture_dialog(), 2), "png");
    EXPECT_EQ(extension_to_add(picture_dialog(), 1), "TGA");
    EXPECT_EQ(extension_to_add(palette_dialog(""), 2), "");
}

// The terminal backend reading scripted answers.
class TerminalDialogs {
public:
    explicit TerminalDialogs(const std::string& answers)
        : text_(answers),
          answers_(fmemopen(text_.data(), text_.size(), "r")),
          dialogs_(make_dialogs(make_terminal_backend(answers_, prompts.file(), errors.file()))) {}
    ~TerminalDialogs() { std::fclose(answers_); }
    Dialogs& operator*() { return *dialogs_; }
    Dialogs* operator->() { return dialogs_.get(); }
    test::Console prompts, errors;

private:
    std::string text_;
    std::FILE* answers_;
    std::unique_ptr<Dialogs> dialogs_;
};

TEST(TerminalBackend, SaveAsksForTheTypeAndAddsItsExtension) {
    test::TempDir dir;
    TerminalDialogs dialogs(dir / "pic" + "\n2\n" + dir / "h.q" + "\n\n");
    auto picture = dialogs->save_file(picture_dialog());
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->path, dir / "pic.png");
    EXPECT_EQ(picture->filter_index, 2);
    const std::string prompts = dialogs.prompts.take();
    EXPECT_NE(
        prompts.find(
            "Give me a name ... save me!\n  1: TGA images (*.TGA)\n  2: PNG images (*.png)\n"),
        std::string::npos);
    EXPECT_NE(prompts.find("type [1-2]"), std::string::npos);
    // An empty type answer means the first filter.
    auto history = dialogs->save_file(history_dialog());
    ASSERT_TRUE(history);
    EXPECT_EQ(history->path, dir / "h.q");
    EXPECT_EQ(history->filter_index, 1);
    // End of input cancels.
    EXPECT_FALSE(dialogs->save_file(history_dialog()));
}

TEST(TerminalBackend, OverwriteQuestionAndCancels) {
    test::TempDir dir;
    test::write_file(dir / "old.TGA", "x");
    TerminalDialogs dialogs(dir / "old" + "\n1\n\n" + dir / "old.TGA" + "\n1\ny\n" + "\n" +
                            dir / "x" + "\n9\n1\n");
    EXPECT_FALSE(dialogs->save_file(picture_dialog()));  // "old" + TGA exists, answer empty = no
    EXPECT_NE(dialogs.prompts.take().find(dir / "old.TGA" + " exists; overwrite? y/N"),
              std::string::npos);
    auto yes = dialogs->save_file(picture_dialog());
    ASSERT_TRUE(yes);
    EXPECT_EQ(yes->path, dir / "old.TGA");
    EXPECT_FALSE(dialogs->save_file(picture_dialog()));   // empty line
    auto retried = dialogs->save_file(picture_dialog());  // 9 is out of range, asked again
    ASSERT_TRUE(retried);
    EXPECT_EQ(retried->path, dir / "x.TGA");
}

TEST(TerminalBackend, OpenTakesRelativeNamesInTheInitialDirectory) {
    TerminalDialogs dialogs("def.pal\n/abs/x.pal\n");
    EXPECT_EQ(dialogs->open_file(palette_dialog("/opt/q/")), "/opt/q/def.pal");
    EXPECT_EQ(dialogs->open_file(palette_dialog("/opt/q/")), "/abs/x.pal");
    EXPECT_FALSE(dialogs->open_file(palette_dialog("/opt/q/")));
    dialogs->message("Whoops! Something went wrong!", "Oh no ...");
    EXPECT_EQ(dialogs.errors.take(), "Oh no ...: Whoops! Something went wrong!\n");
}

TEST(BackendChoice, TerminalOnlyWhenForcedOrInteractive) {
    std::map<std::string, std::string> env = {{"PATH", "/nonexistent"}};
    auto lookup = [&env](const char* name) -> const char* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
    };
    // Unattended without any dialog program: every dialog cancels at once,
    // without touching standard input.
    auto silent = make_default_dialogs(lookup, false);
    EXPECT_FALSE(silent->open_file(palette_dialog("")));
    EXPECT_FALSE(silent->save_file(history_dialog()));
}

// A stand-in zenity/kdialog: logs its arguments, one per line after a "---"
// line, and answers from the first line of `answers` ("status output").
const char kStub[] = R"(#!/bin/sh
dir=$(dirname "$0")
{ echo ---; for a in "$@"; do echo "$a"; done; } >> "$dir/log"
line=$(head -n 1 "$dir/answers")
tail -n +2 "$dir/answers" > "$dir/answers.next"
mv "$dir/answers.next" "$dir/answers"
status=${line%% *}
out=${line#* }
[ "$out" != "$line" ] && echo "$out"
exit "${status:-1}"
)";

class StubTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        const std::string program = dir / GetParam();
        test::write_file(program, kStub);
        chmod(program.c_str(), 0755);
        const char* path = std::getenv("PATH");
        old_path_ = path != nullptr ? path : "/usr/bin:/bin";
        setenv("PATH", (dir.str() + ":" + old_path_).c_str(), 1);
        env_ = {{"DISPLAY", ":42"}, {"PATH", std::getenv("PATH")}};
        // zenity is found by itself; kdialog only comes second, so it is forced
        // in case a real zenity is installed.
        if (GetParam() == "kdialog") env_["QUORVEL_DIALOGS"] = "kdialog";
        dialogs_ = make_default_dialogs(
            [this](const char* name) -> const char* {
                auto it = env_.find(name);
                return it == env_.end() ? nullptr : it->second.c_str();
            },
            false);
    }
    void TearDown() override { setenv("PATH", old_path_.c_str(), 1); }

    void answers(const std::string& lines) { test::write_file(dir / "answers", lines); }
    // The calls since the last look, each a list of arguments.
    std::vector<std::vector<std::string>> calls() {
        std::vector<std::vector<std::string>> result;
        std::string log = test::read_file(dir / "log");
        std::filesystem::remove(dir / "log");
        std::size_t at = 0;
        while (at < log.size()) {
            const std::size_t end = log.find('\n', at);
            std::string line = log.substr(at, end - at);
            at = end + 1;
            if (line == "---")
                result.emplace_back();
            else
                result.back().push_back(line);
        }
        return result;
    }
    static bool has(const std::vector<std::string>& args, const std::string& arg) {
        return std::find(args.begin(), args.end(), arg) != args.end();
    }

    test::TempDir dir;
    std::unique_ptr<Dialogs> dialogs_;

private:
    std::string old_path_;
    std::map<std::string, std::string> env_;
};

TEST_P(StubTest, FilterFromTheExtensionOrAskedFor) {
    // "x.png" matches only the second picture filter: no question.
    answers("0 " + dir / "x.png" + "\n");
    auto png = dialogs_->save_file(picture_dialog());
    ASSERT_TRUE(png);
    EXPECT_EQ(png->path, dir / "x.png");
    EXPECT_EQ(png->filter_index, 2);
    auto log = calls();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0][0], GetParam() == "zenity" ? "--file-selection" : "--title");

    // Both history filters are "*.q": always asked.
    answers("0 " + dir / "h.q" + "\n0 2\n");
    auto history = dialogs_->save_file(history_dialog());
    ASSERT_TRUE(history);
    EXPECT_EQ(history->path, dir / "h.q");
    EXPECT_EQ(history->filter_index, 2);
    log = calls();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(has(log[1], "Coords and settings only"));

    // A cancelled filter question cancels the save.
    answers("0 " + dir / "h.q" + "\n1\n");
    EXPECT_FALSE(dialogs_->save_file(history_dialog()));
    // A cancelled picker too.
    answers("1\n");
    EXPECT_FALSE(dialogs_->save_file(history_dialog()));
    calls();
}

TEST_P(StubTest, AddedExtensionOverwriteIsConfirmed) {
    test::write_file(dir / "pic.TGA", "old");
    // Typed without extension; type 1 chosen; pic.TGA exists: asked, "no".
    answers("0 " + dir / "pic" + "\n0 1\n1\n");
    EXPECT_FALSE(dialogs_->save_file(picture_dialog()));
    auto log = calls();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(has(log[2], GetParam() == "zenity" ? "--question" : "--warningyesno"));
    // The picker itself confirmed an existing name it returned: no question.
    answers("0 " + dir / "pic.TGA" + "\n");
    auto same = dialogs_->save_file(picture_dialog());
    ASSERT_TRUE(same);
    EXPECT_EQ(calls().size(), 1u);
}

TEST_P(StubTest, OpenAndMessageArguments) {
    answers("0 " + dir / "fire.pal" + "\n0\n");
    EXPECT_EQ(dialogs_->open_file(palette_dialog("/opt/q/")), dir / "fire.pal");
    dialogs_->message("This didn't work too well, I'm afraid :(", "*gnarf*");
    auto log = calls();
    ASSERT_EQ(log.size(), 2u);
    if (GetParam() == "zenity") {
        EXPECT_TRUE(has(log[0], "--title=Select a new palette, baby"));
        EXPECT_TRUE(has(log[0], "--filename=/opt/q/"));
        EXPECT_TRUE(has(log[0], "--file-filter=Palettes | *.PAL *.pal"));
        EXPECT_TRUE(has(log[0], "--file-filter=All files | *.*"));
        const std::vector<std::string> error = {"--error", "--no-markup", "--title=*gnarf*",
                                                "--text=This didn't work too well, I'm afraid :("};
        EXPECT_EQ(log[1], error);
    } else {
        EXPECT_TRUE(has(log[0], "--getopenfilename"));
        EXPECT_TRUE(has(log[0], "*.PAL|Palettes\n*.*|All files") || has(log[0], "*.PAL|Palettes"));
        const std::vector<std::string> error = {"--title", "*gnarf*", "--error",
                                                "This didn't work too well, I'm afraid :("};
        EXPECT_EQ(log[1], error);
    }
    // Cancel gives nothing.
    answers("1\n");
    EXPECT_FALSE(dialogs_->open_file(palette_dialog("")));
}

INSTANTIATE_TEST_SUITE_P(Programs, StubTest, ::testing::Values("zenity", "kdialog"));

TEST(RunProgram, MissingProgramAndStatus) {
    EXPECT_FALSE(run_program({"/nonexistent/quorvel-no-such-program"}));
    auto result = run_program({"sh", "-c", "echo out; echo err >&2; exit 3"});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 3);
    EXPECT_EQ(result->output, "out\n");
}

}  // namespace
