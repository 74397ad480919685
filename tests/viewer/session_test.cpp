// The per-user files, the session, the autosave schedule and the places
// written from a signal handler (the engine is commands_test.cpp's fake).
#include "session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "commands.h"
#include "emergency.h"
#include "places.h"
#include "test_support.h"

namespace {

using namespace quorvel::viewer;
namespace fs = std::filesystem;

TEST(UserFiles, PlacesMoveOnlyWhenTheProgramFolderIsReadOnly) {
    test::TempDir dir;
    const std::string home = dir / "home";
    struct Case {
        std::map<std::string, std::string> env;
        bool writable;
        std::string places, session;
    };
    const Case cases[] = {
        {{{"HOME", home}}, true, "/opt/q/places", home + "/.local/state/quorvel/session.q"},
        {{{"HOME", home}},
         false,
         home + "/.config/quorvel/places",
         home + "/.local/state/quorvel/session.q"},
        {{{"HOME", home}, {"XDG_CONFIG_HOME", dir / "cfg"}, {"XDG_STATE_HOME", dir / "st"}},
         false,
         dir / "cfg/quorvel/places",
         dir / "st/quorvel/session.q"},
        // Relative or empty variables count as unset.
        {{{"HOME", home}, {"XDG_CONFIG_HOME", "rel"}, {"XDG_STATE_HOME", ""}},
         false,
         home + "/.config/quorvel/places",
         home + "/.local/state/quorvel/session.q"},
        {{}, false, "/opt/q/places", ""}};
    for (const Case& c : cases) {
        fs::remove_all(home);
        const char* argv[] = {"/opt/q/viewer"};
        StartOptions options = parse_command_line(1, argv);
        place_user_files(
            options,
            [&](const char* name) {
                auto it = c.env.find(name);
                return it == c.env.end() ? nullptr : it->second.c_str();
            },
            [&](const std::string& folder) { return folder == "/opt/q/" && c.writable; });
        EXPECT_EQ(options.places_path, c.places);
        EXPECT_EQ(options.places_per_user, c.places != "/opt/q/places");
        EXPECT_EQ(options.session_path, c.session);
        // The folders are there to write into.
        if (options.places_per_user) {
            EXPECT_TRUE(fs::is_directory(fs::path(c.places).parent_path()));
        }
        if (!c.session.empty()) {
            EXPECT_TRUE(fs::is_directory(fs::path(c.session).parent_path()));
        }
    }
    const char* resume[] = {"/opt/q/viewer", "-resume", "fire.pal"};
    const StartOptions options = parse_command_line(3, resume);
    EXPECT_TRUE(options.resume);
    EXPECT_EQ(options.palette_path, "/opt/q/fire.pal");
}

TEST(Autosave, AtMostEveryIntervalAndNeverLaterThanOne) {
    AutosaveSchedule schedule(2.0);
    EXPECT_FALSE(schedule.pending());
    schedule.changed();  // the first change after a quiet time is written at once
    EXPECT_TRUE(schedule.pending());
    EXPECT_EQ(schedule.wait(10.0), 0.0);
    schedule.saved(10.0);
    EXPECT_FALSE(schedule.pending());
    schedule.changed();  // soon after: waits for the rest of the interval
    EXPECT_DOUBLE_EQ(schedule.wait(10.5), 1.5);
    schedule.changed();
    EXPECT_NEAR(schedule.wait(11.9), 0.1, 1e-9);
    EXPECT_EQ(schedule.wait(12.0), 0.0);
    schedule.saved(12.0);
    EXPECT_FALSE(schedule.pending());
}

// A history file's context section, as the engine writes it, up to the palette.
std::string history_head(float gamma, float speed) {
    std::string head = "quorvel\nContext\nv000\n";
    head += std::string(4 * 4 + 1, '\0');  // budget, capacity, current, last, preview
    head.append(reinterpret_cast<const char*>(&gamma), 4);
    head.append(reinterpret_cast<const char*>(&speed), 4);
    for (int i = 0; i < 768; ++i) head += static_cast<char>(i % 251);
    return head + "HistEntry\n";
}

TEST(Session, ResumeSetsTheViewersOwnSettings) {
    test::TempDir dir;
    ViewerState state;
    state.session_path = dir / "session.q";
    std::FILE* out = std::tmpfile();
    EXPECT_FALSE(resume_session(state, out));  // missing: said, nothing changed
    test::write_file(state.session_path, history_head(1.875f, -12.0f));
    ASSERT_TRUE(resume_session(state, out));
    EXPECT_EQ(state.gamma, 1.875f);
    EXPECT_EQ(state.cycling_speed, -12.0f);
    EXPECT_EQ(state.palette[300], 300 % 251);
    std::rewind(out);
    char line[512];
    ASSERT_TRUE(std::fgets(line, sizeof line, out));
    EXPECT_EQ(std::string(line),
              "cannot resume the session " + state.session_path + ": it is missing\n");
    ASSERT_TRUE(std::fgets(line, sizeof line, out));
    EXPECT_EQ(std::string(line), "resumed the session " + state.session_path + "\n");
    ASSERT_TRUE(std::fgets(line, sizeof line, out));
    EXPECT_EQ(std::string(line).rfind("mandelbrot center = ", 0), 0u) << line;
    std::fclose(out);
    EXPECT_FALSE(read_history_settings(dir / "none"));
    test::write_file(dir / "short.q", history_head(1, 1).substr(0, 100));
    EXPECT_FALSE(read_history_settings(dir / "short.q"));
}

TEST(Places, SignalPathWritesThePlacesFromMemory) {
    test::TempDir dir;
    Places places{};
    for (int i = 0; i < kPlaceCount; ++i) places[i].max_iterations = 1000 + i;
    prepare_emergency_exit(dir / "places", &places);
    test::write_file(dir / "places", "old");
    ASSERT_TRUE(write_places_from_signal());
    const std::string bytes = test::read_file(dir / "places");
    ASSERT_EQ(bytes.size(), sizeof places);
    EXPECT_EQ(std::memcmp(bytes.data(), places.data(), sizeof places), 0);
    // A folder in the way: the write fails and leaves no temporary file.
    prepare_emergency_exit(dir / "sub", &places);
    fs::create_directories(dir / "sub/x");
    EXPECT_FALSE(write_places_from_signal());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.str()), fs::directory_iterator()), 2);
    prepare_emergency_exit(dir / "places", nullptr);
}

}  // namespace
