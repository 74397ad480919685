// The command logic against a fake engine that shows a fixed 600 x 600 view of
// radius 2 and 150 iterations and records the calls the tests look at.
#include "commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <deque>

#include "startup.h"
#include "test_support.h"

namespace {

using namespace quorvel::viewer;

struct FakeEngine {
    std::vector<std::string> calls;
    bool save = true, load = true;
    int deep_kernel = 0;
} engine;

const std::string kInfo =
    "mandelbrot center = 0.0000000000 / 0.0000000000\nradius= 2; maximum iteration depth = 150\n";

// Records a call and returns `result`.
bool rec(bool result, const char* fmt, ...) {
    char text[300];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    engine.calls.push_back(text);
    return result;
}

}  // namespace

extern "C" {
qv_handle qv_create_context(int) { return nullptr; }
void qv_delete_context(qv_handle* h) { *h = nullptr; }
bool qv_refine_image(qv_handle) { return false; }
bool qv_refine_history(qv_handle) { return false; }
int qv_change_generator_type(qv_handle) { return 1; }
const char* qv_describe_generator(int) { return "box matching"; }
void qv_set_image_properties(qv_handle, int, int, int, float) {}
void qv_set_palette(qv_handle, const unsigned char*) {}
void qv_set_palette_cycling_speed(qv_handle, float) {}
bool qv_toggle_preview(qv_handle) { return true; }
int qv_set_deep_kernel(qv_handle, int mode) {
    const int before = engine.deep_kernel;
    engine.deep_kernel = mode;
    return before;
}
int qv_get_deep_kernel(qv_handle) { return engine.deep_kernel; }
unsigned int qv_adjust_maximum_iterations(qv_handle, float) { return 150; }
unsigned int qv_get_maximum_iterations(qv_handle) { return 150; }
void qv_zoom_on_window_coord(qv_handle, int x, int y, float f) {
    rec(true, "on %d %d %g", x, y, f);
}
void qv_zoom_centered(qv_handle, float factor) { rec(true, "zoom %g", factor); }
void qv_move(qv_handle, float dx, float dy) { rec(true, "move %g %g", dx, dy); }
unsigned char* qv_get_rgb_image(qv_handle) {
    static std::vector<unsigned char> image(600 * 600 * 3, 7);
    return image.data();
}
int qv_get_image_width(qv_handle) { return 600; }
int qv_get_image_height(qv_handle) { return 600; }
float qv_get_cleverness(qv_handle) { return 0; }
float qv_get_progress(qv_handle) { return 0; }
float qv_get_time_spent(qv_handle) { return 0; }
void qv_reset_current_view(qv_handle) {}
bool qv_history_back(qv_handle) { return false; }
bool qv_history_forward(qv_handle) { return false; }
void qv_store_location_to(qv_handle, Location* place) { *place = Location{}; }
void qv_restore_location_from(qv_handle, const Location*) {}
void qv_set_view_params_from_doubles(qv_handle, double, double, double) {}
void qv_get_view_params_as_doubles(qv_handle, double* x, double* y, double* radius) {
    *x = *y = 0, *radius = 2;
}
void qv_get_view_params_as_text(qv_handle, char* x, char* y, double* radius) {
    std::snprintf(x, 63, "-B.E5F721EB1E3C8x-1");
    std::snprintf(y, 63, "+8.6FD5EAD4F61B9x-3");
    *radius = 1e-10;
}
int qv_set_view_from_strings(qv_handle, const char*, const char*, const char*) { return 1; }
// The texts of qv_get_view_params_as_text above: a view within 192 bits.
size_t qv_get_view_strings(qv_handle, char* x, char* y, char* radius, size_t capacity) {
    if (capacity < 32) return 32;
    std::snprintf(x, capacity, "-B.E5F721EB1E3C8x-1");
    std::snprintf(y, capacity, "+8.6FD5EAD4F61B9x-3");
    std::snprintf(radius, capacity, "+D.BE6FECEBDEDD8x-34");
    return 32;
}
bool qv_load(qv_handle, const char* path) { return rec(engine.load, "load %s", path); }
bool qv_save_all(qv_handle, const char* path) { return rec(engine.save, "save_all %s", path); }
bool qv_save_minimum(qv_handle, const char* path) { return rec(engine.save, "save_min %s", path); }
}

namespace {

// Commands with the fixture as their window (counting restarts) and dialogs
// (answering in turn from one queue; an empty queue cancels).
class CommandsTest : public ::testing::Test, public Window, public Dialogs {
protected:
    void SetUp() override { engine = FakeEngine{}; }
    ~CommandsTest() override {
        std::fclose(console_);
        std::free(buffer_);
    }
    // Presses the keys; returns what they printed.
    std::string after(std::string_view keys) {
        for (char k : keys) commands.key(static_cast<unsigned char>(k));
        std::fflush(console_);
        std::string printed(buffer_, size_);
        std::rewind(console_);  // the next flush sets size_ to the new position
        return printed;
    }

    void set_idle(Idle idle) override { restarts += idle == Idle::refine; }
    void set_title(const char*) override {}
    void post_redisplay() override {}
    void reshape_window(int, int) override {}
    std::optional<SaveChoice> save_file(const FileDialog&) override {
        if (answers.empty()) return std::nullopt;
        SaveChoice answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<std::string> open_file(const FileDialog& d) override {
        auto answer = save_file(d);
        return answer ? std::optional(answer->path) : std::nullopt;
    }
    void message(const std::string& text, const std::string& caption) override {
        messages.push_back(caption + ": " + text);
    }

    int restarts = 0;
    std::deque<SaveChoice> answers;
    std::vector<std::string> messages;
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* console_ = open_memstream(&buffer_, &size_);
    test::TempDir dir;
    ViewerState state;
    Commands commands{state, *this, *this, console_};
};

TEST_F(CommandsTest, KeysFoldAndStopAtTheirLimits) {
    EXPECT_EQ(fold_case('y'), 'Y');
    EXPECT_EQ(after("rRzZ@;"), "restarting\nrestarting\n");
    EXPECT_EQ(after(std::string(1, '\0')), kInfo);  // code 0 folds onto the space bar
    // Gamma steps by 1/8 within [0.5, 2.5]; at a limit a key does nothing.
    after("00000");
    EXPECT_EQ(after("00"), "aa gamma correction set to 2.500\n");
    after(std::string(15, '9'));
    EXPECT_EQ(after("99"), "aa gamma correction set to 0.500\n");
    EXPECT_EQ(state.gamma, 0.5f);
    EXPECT_EQ(restarts, 3);  // r, R and space: gamma only recolours
    // Cycling stops once past 256; down it passes 0 and restarts from -8.
    after(std::string(11, 'c'));
    EXPECT_EQ(state.cycling_speed, 307.546875f);
    after(std::string(30, 'C'));
    EXPECT_EQ(state.cycling_speed, -307.546875f);
}

TEST_F(CommandsTest, DeepKernelKeyCyclesAutoPerturbationPlainExact) {
    engine.deep_kernel = 0;
    EXPECT_EQ(after("K"), "deep kernel: perturbation\n");
    EXPECT_EQ(engine.deep_kernel, 2);
    EXPECT_EQ(after("k"), "deep kernel: plain\n");
    EXPECT_EQ(engine.deep_kernel, 3);
    EXPECT_EQ(after("K"), "deep kernel: exact\n");
    EXPECT_EQ(after("K"), "deep kernel: auto\n");
    EXPECT_EQ(engine.deep_kernel, 0);
    EXPECT_EQ(restarts, 4);
}

TEST(CyclingSpeed, SequenceAndMirror) {
    const float up[] = {8, 12, 18, 27, 40.5f, 60.75f, 91.125f, 136.6875f, 205.03125f, 307.546875f};
    float raised = 0, lowered = 0;
    for (float expected : up) {
        raised = raised_cycling_speed(raised);
        lowered = lowered_cycling_speed(lowered);
        EXPECT_EQ(raised, expected);
        EXPECT_EQ(lowered, -expected);
    }
    // Toward zero: times one step below 2/3, and from within [-8, 8] onto 0.
    EXPECT_EQ(lowered_cycling_speed(12), 12 * std::nextafter(2.0f / 3.0f, 0.0f));
    EXPECT_EQ(raised_cycling_speed(-12), -12 * std::nextafter(2.0f / 3.0f, 0.0f));
    for (float speed : {-8.0f, 7.5f}) EXPECT_EQ(raised_cycling_speed(speed), 0);
    for (float speed : {8.0f, -7.5f}) EXPECT_EQ(lowered_cycling_speed(speed), 0);
}

TEST_F(CommandsTest, ZoomAndMoveFactors) {
    using namespace glut;
    for (int key : {kPageUp, kPageDown, kLeft, kRight, kUp, kDown, 112 /* a modifier */})
        for (int modifiers : {0, kShift}) commands.special_key(key, modifiers);
    commands.mouse(kLeftButton, kButtonDown, 10, 20, 0);
    for (int button : {kLeftButton, kRightButton, kMiddleButton})
        for (int modifiers : {0, kShift}) commands.mouse(button, kButtonUp, 10, 20, modifiers);
    commands.key('l');  // the mouse lock
    commands.mouse(kLeftButton, kButtonUp, 1, 1, 0);
    const std::vector<std::string> expected = {
        "zoom 1.6",      "zoom 2.56",      "zoom 0.625",    "zoom 0.390625",
        "move -0.125 0", "move -0.3125 0", "move 0.125 0",  "move 0.3125 0",
        "move 0 0.125",  "move 0 0.3125",  "move 0 -0.125", "move 0 -0.3125",
        "on 10 20 2",    "on 10 20 16",    "on 10 20 0.5",  "on 10 20 0.0625"};
    EXPECT_EQ(engine.calls, expected);
    // Each of them and the middle button's releases print and restart.
    EXPECT_EQ(restarts, 18);
    EXPECT_EQ(after("").size(), 18 * kInfo.size());
}

TEST_F(CommandsTest, HistoryFailuresAreReportedAndKeepFiles) {
    test::write_file(dir / "old.q", "quorvel\nprecious");
    answers = {{dir / "full.q", 1}, {dir / "min.q", 2}, {dir / "no/dir/h.q", 1}};
    answers.insert(answers.end(), {{dir / "old.q"}});
    after("HHHh");
    EXPECT_EQ(engine.calls,
              (std::vector<std::string>{"save_all " + dir / "full.q", "save_min " + dir / "min.q",
                                        "load " + dir / "old.q"}));
    EXPECT_EQ(messages, (std::vector<std::string>{"Oh no ...: Whoops! Something went wrong!"}));
    // A failed engine save neither empties an existing history nor leaves a
    // new file; a load refreshes the view even when cancelled.
    engine.save = engine.load = false;
    answers = {{dir / "old.q", 1}, {dir / "new.q", 2}};
    EXPECT_EQ(after("HHh"), kInfo);
    EXPECT_EQ(test::read_file(dir / "old.q"), "quorvel\nprecious");
    EXPECT_FALSE(std::filesystem::exists(dir / "new.q"));
    EXPECT_EQ(messages.size(), 3u);
}

// A failed load names the cause; the engine is asked only about files that
// look like histories, and a FIFO is refused rather than waited on.
TEST_F(CommandsTest, FailedLoadNamesTheCause) {
    engine.load = false;
    test::write_file(dir / "damaged.q", "quorvel\nContext\n");
    test::write_file(dir / "other.q", "quorvelX");
    test::write_file(dir / "short.q", "quo");
    std::filesystem::create_directory(dir / "folder.q");
    ASSERT_EQ(mkfifo((dir / "fifo.q").c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"missing.q", "it is missing"},
        {"folder.q", "it is a folder"},
        {"fifo.q", "it is not a regular file"},
        {"other.q", "it is not a history file (wrong first line)"},
        {"short.q", "it is not a history file (wrong first line)"},
        {"damaged.q", "it is damaged"}};
    for (const auto& [name, cause] : cases) {
        answers = {{dir / name}};
        messages.clear();
        after("h");
        ASSERT_EQ(messages.size(), 1u) << name;
        EXPECT_EQ(messages[0], "*gnarf*: This didn't work too well, I'm afraid :( Cannot load " +
                                   dir / name + ": " + cause);
    }
    EXPECT_EQ(engine.calls, std::vector<std::string>{"load " + dir / "damaged.q"});
}

// A palette that cannot be read (a FIFO is refused, not read) is said and
// changes nothing; a short one replaces only what it holds.
TEST_F(CommandsTest, UnreadablePalettesAreSaidAndKeepThePaletteInUse) {
    test::write_file(dir / "empty.pal", "");
    test::write_file(dir / "short.pal", std::string(300, '\x7f'));
    std::filesystem::create_directory(dir / "folder.pal");
    const int fifo = test::filled_fifo(dir / "fifo.pal", std::string(768, '\x7f'));
    ASSERT_GE(fifo, 0);
    const std::pair<std::string, std::string> cases[] = {{"missing.pal", "it is missing"},
                                                         {"empty.pal", "it is empty"},
                                                         {"folder.pal", "it is a folder"},
                                                         {"fifo.pal", "it is not a regular file"}};
    state.palette = grey_ramp();
    for (const auto& [name, cause] : cases) {
        answers = {{dir / name}};
        EXPECT_EQ(after("p"), "cannot read the palette " + dir / name + ": " + cause +
                                  "; keeping the palette in use\n");
        EXPECT_EQ(state.palette, grey_ramp()) << name;
    }
    ::close(fifo);
    answers = {{dir / "short.pal"}};
    EXPECT_EQ(after("p"), "");
    EXPECT_EQ(state.palette[299], 0x7f);
    EXPECT_EQ(state.palette[300], 100);
}

// At start: the budget the engine really uses, the per-user places file when
// the program folder is read-only, and a grey ramp, said, when the palette
// cannot be read.
TEST_F(CommandsTest, StartUpSaysTheBudgetAndAMissingPalette) {
    StartOptions options;
    options.megabytes = 5000;
    options.places_path = dir / "places";
    options.palette_path = dir / "none.pal";
    options.places_per_user = true;
    create_engine(state, options, console_);
    load_places_and_palette(state, options, console_);
    EXPECT_EQ(after(""),
              "memory limit is 1024 megabytes\nthe program folder is read-only; places are kept "
              "in " +
                  dir / "places" + "\nNo preset places found\nloading palette: " +
                  dir / "none.pal" + "\ncannot read the palette " + dir / "none.pal" +
                  ": it is missing; using a grey ramp\n");
    EXPECT_EQ(state.palette, grey_ramp());
    EXPECT_EQ(state.palette[767], 255);
}

// Ctrl+F writes the places file at once; a failure is said.
TEST_F(CommandsTest, StoredPlacesAreWrittenAtOnce) {
    state.places_path = dir / "places";
    commands.special_key(glut::kF1 + 2, glut::kCtrl);
    EXPECT_EQ(after(""), "saved this location to slot #3\n");
    EXPECT_EQ(test::read_file(dir / "places").size(), 1200u);
    EXPECT_EQ(test::read_file(dir / "places.txt"),
              "\n\n-B.E5F721EB1E3C8x-1 +8.6FD5EAD4F61B9x-3 +D.BE6FECEBDEDD8x-34 150\n" +
                  std::string(9, '\n'));
    state.places_path = dir / "missing/places";
    commands.special_key(glut::kF1, glut::kCtrl);
    EXPECT_EQ(after("").rfind("saved this location to slot #1\ncannot save the places: ", 0), 0u);
}

// S: a failed export says so in one line and keeps the old picture.
TEST_F(CommandsTest, FailedPictureExportIsSaidAndKeepsTheOldFile) {
    test::write_file(dir / "old.tga", "old");
    std::filesystem::create_directory(dir / "folder.png");
    answers = {{dir / "p.png", 1}, {dir / "folder.png", 2}, {dir / "no/dir/p.tga", 1}};
    EXPECT_EQ(after("S"), "");
    EXPECT_EQ(test::read_file(dir / "p.png").substr(1, 3), "PNG");  // the extension decides
    for (int i = 0; i < 2; ++i) {
        const std::string said = after("S");
        EXPECT_EQ(said.rfind("picture not saved: ", 0), 0u) << said;
        EXPECT_EQ(std::ranges::count(said, '\n'), 1) << said;
    }
    EXPECT_EQ(test::read_file(dir / "old.tga"), "old");
}

TEST(CommandLine, ProgramDirectoryAndMegabytes) {
    const std::pair<const char*, const char*> dirs[] = {{"/opt/q/viewer", "/opt/q/"},
                                                        {"C:\\q\\viewer.exe", "C:\\q\\"},
                                                        {"/viewer", "/"},
                                                        {"viewer", ""},
                                                        {"", ""},
                                                        {"bin/", ""},
                                                        {"a/bin/", "a/"},
                                                        {"C:viewer", ""}};
    for (auto [path, dir] : dirs) EXPECT_EQ(program_directory(path), dir) << path;
    const std::pair<const char*, int> megs[] = {{"-megs=200", 200},
                                                {"-megs=-5", 96},
                                                {"-megs=lots", 0},
                                                {"-megs=64mb", 64},
                                                {"--megs=12", 12},
                                                {"-megs=  +42", 42},
                                                {"-megs=99999999999999", 2147483647},
                                                {"-megs=-99999999999999", 96}};
    for (auto [arg, value] : megs) {
        const char* args[] = {"/opt/q/viewer", "-megs=7", arg, "fire.pal"};
        const StartOptions options = parse_command_line(4, args);
        EXPECT_EQ(options.megabytes, value) << arg;
        EXPECT_EQ(options.places_path, "/opt/q/places");
        EXPECT_EQ(options.palette_path, "/opt/q/fire.pal");
    }
    const char* absolute[] = {"/opt/q/viewer", "/home/my.pal", "c:\\my.pal"};
    EXPECT_EQ(parse_command_line(2, absolute).palette_path, "/home/my.pal");
    EXPECT_EQ(parse_command_line(3, absolute).palette_path, "c:\\my.pal");
}

// V (either case) prints the command line for the view on show, with the
// supersampling and gamma last chosen.
TEST_F(CommandsTest, VPrintsARenderCommandForTheView) {
    after("30");
    state.palette_path = "my pal's.pal";
    const std::string line =
        "quorvel-render --centre -B.E5F721EB1E3C8x-1 +8.6FD5EAD4F61B9x-3 --radius "
        "1e-10 --iterations 150 --size 600x600 --supersampling 3 --gamma 1.875 "
        "--palette 'my pal'\\''s.pal' --out quorvel.png\n";
    EXPECT_EQ(after("V"), line);
    EXPECT_EQ(after("v"), line);
}

}  // namespace
