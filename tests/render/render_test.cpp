// quorvel-render end to end: the tool's pictures against the library's own
// image for the same settings, and its handling of bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <quorvel.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "options.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

struct ToolRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "qv-render-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }
    std::set<std::string> files() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

private:
    fs::path path_;
};

std::string slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const void* data, size_t size) {
    std::ofstream file(path, std::ios::binary);
    file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

pid_t spawn_tool(const std::vector<std::string>& args, const TempDir& dir) {
    std::vector<char*> argv;
    std::string tool = QV_RENDER_TOOL;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
    const std::string out = (dir.path().parent_path() / (dir.path().filename().string() + ".out"));
    const std::string err = (dir.path().parent_path() / (dir.path().filename().string() + ".err"));
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

ToolRun collect(pid_t pid, const TempDir& dir) {
    ToolRun run;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string base = (dir.path().parent_path() / dir.path().filename()).string();
    run.out = slurp(base + ".out");
    run.err = slurp(base + ".err");
    fs::remove(base + ".out");
    fs::remove(base + ".err");
    return run;
}

// Runs the tool with the given arguments, its working folder being `dir`.
ToolRun run_tool(const std::vector<std::string>& args, const TempDir& dir) {
    return collect(spawn_tool(args, dir), dir);
}

Image read_png(const std::string& path) {
    Image image;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return image;
    png.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) return image;
    image.width = static_cast<int>(png.width);
    image.height = static_cast<int>(png.height);
    image.rgb = std::move(pixels);
    return image;
}

// Reads the viewer's TGA layout back into top-first RGB.
Image read_tga(const std::string& path) {
    Image image;
    const std::string bytes = slurp(path);
    if (bytes.size() < 18) return image;
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    const int w = b[12] | b[13] << 8, h = b[14] | b[15] << 8;
    if (b[2] != 2 || b[16] != 24 || b[17] != 0 || bytes.size() != 18 + size_t(w) * h * 3) {
        return image;
    }
    image.width = w;
    image.height = h;
    image.rgb.resize(size_t(w) * h * 3);
    for (int row = 0; row < h; ++row) {
        const uint8_t* src = b + 18 + size_t(h - 1 - row) * w * 3;
        uint8_t* dst = image.rgb.data() + size_t(row) * w * 3;
        for (int i = 0; i < w * 3; i += 3) {
            dst[i] = src[i + 2];
            dst[i + 1] = src[i + 1];
            dst[i + 2] = src[i];
        }
    }
    return image;
}

std::vector<uint8_t> test_palette() {
    std::vector<uint8_t> p(768);
    for (int i = 0; i < 256; ++i) {
        p[3 * i] = static_cast<uint8_t>(i * 7);
        p[3 * i + 1] = static_cast<uint8_t>(255 - i);
        p[3 * i + 2] = static_cast<uint8_t>(i * 13 + 40);
    }
    return p;
}

struct Settings {
    int width, height, supersampling = 1;
    float gamma = 1.75f;
    int generator = 0;
    bool set_palette = true;
};

// The reference: the same work done in-process through the library.
Image render_in_process(const Settings& s, const std::function<void(qv_handle)>& place_view) {
    qv_handle h = qv_create_context(64);
    qv_set_image_properties(h, s.width, s.height, s.supersampling, s.gamma);
    if (s.set_palette) qv_set_palette(h, test_palette().data());
    qv_set_generator_type(h, s.generator);
    place_view(h);
    while (qv_refine_image(h)) {
    }
    Image image;
    image.width = qv_get_image_width(h);
    image.height = qv_get_image_height(h);
    const uint8_t* rgb = qv_get_rgb_image(h);
    if (rgb != nullptr) image.rgb.assign(rgb, rgb + size_t(image.width) * image.height * 3);
    qv_delete_context(&h);
    return image;
}

void expect_same(const Image& actual, const Image& expected, const char* what) {
    ASSERT_EQ(actual.width, expected.width) << what;
    ASSERT_EQ(actual.height, expected.height) << what;
    ASSERT_EQ(actual.rgb.size(), expected.rgb.size()) << what;
    size_t differing = 0, first = 0;
    for (size_t i = 0; i < actual.rgb.size(); i += 3) {
        if (actual.rgb[i] != expected.rgb[i] || actual.rgb[i + 1] != expected.rgb[i + 1] ||
            actual.rgb[i + 2] != expected.rgb[i + 2]) {
            if (differing++ == 0) first = i / 3;
        }
    }
    EXPECT_EQ(differing, 0u) << what << ": first differing pixel (" << first % actual.width << ", "
                             << first / actual.width << ")";
}

size_t distinct_colours(const Image& image) {
    std::set<uint32_t> colours;
    for (size_t i = 0; i + 2 < image.rgb.size(); i += 3) {
        colours.insert(uint32_t{image.rgb[i]} << 16 | image.rgb[i + 1] << 8 | image.rgb[i + 2]);
    }
    return colours.size();
}

std::string result_line(const std::string& out, const std::string& key) {
    const size_t at = out.find(key);
    if (at == std::string::npos) return {};
    size_t start = out.find_first_not_of(' ', at + key.size());
    return out.substr(start, out.find('\n', start) - start);
}

TEST(RenderTool, DecimalViewMatchesLibraryInPngAndTga) {
    TempDir dir;
    const auto palette = test_palette();
    write_file(dir / "test.pal", palette.data(), palette.size());
    const std::vector<std::string> common = {"--centre", "-0.75",           "0.1",     "--radius",
                                             "0.05",     "--iterations",    "300",     "--size",
                                             "80x60",    "--supersampling", "2",       "--gamma",
                                             "2.2",      "--palette",       "test.pal"};
    auto args = common;
    args.insert(args.end(), {"--out", "view.png"});
    ToolRun png_run = run_tool(args, dir);
    ASSERT_EQ(png_run.status, 0) << png_run.err;
    args = common;
    args.insert(args.end(), {"--out", "view.TGA"});
    ToolRun tga_run = run_tool(args, dir);
    ASSERT_EQ(tga_run.status, 0) << tga_run.err;
    EXPECT_EQ(dir.files(), (std::set<std::string>{"test.pal", "view.png", "view.TGA"}));

    const Image expected = render_in_process(
        {.width = 80, .height = 60, .supersampling = 2, .gamma = 2.2f}, [](qv_handle h) {
            qv_set_view_params_from_doubles(h, -0.75, 0.1, 0.05);
            qv_adjust_maximum_iterations(h, 2.0f);  // 150 -> 300
        });
    EXPECT_GT(distinct_colours(expected), 50u);
    expect_same(read_png(dir / "view.png"), expected, "png");
    expect_same(read_tga(dir / "view.TGA"), expected, "tga");
    EXPECT_EQ(fs::file_size(dir / "view.TGA"), 18u + 80 * 60 * 3);

    EXPECT_EQ(result_line(png_run.out, "iterations"), "300");
    EXPECT_EQ(result_line(png_run.out, "radius"), "0.050000000000000003");
    EXPECT_NE(result_line(png_run.out, "efficiency").find('%'), std::string::npos);
    // Not a terminal: one summary line on standard error, no bar.
    EXPECT_EQ(std::count(png_run.err.begin(), png_run.err.end(), '\n'), 1) << png_run.err;
    EXPECT_EQ(png_run.err.find('\r'), std::string::npos);
}

TEST(RenderTool, DeepHexCentreIsExactAndMatchesLibrary) {
    // A centre with bits far below double precision, at a depth where the
    // engine has to use its own arithmetic; escapes there lie between 3000
    // and 5000 iterations.
    const std::string x = "-B.E5F721E9D05DC5BD5DF5D29FE7CB8x-1";
    const std::string y = "+8.6FD5EAD72F4C47C901E78955CD87x-3";
    TempDir dir;
    const auto palette = test_palette();
    write_file(dir / "test.pal", palette.data(), palette.size());
    ToolRun run =
        run_tool({"--centre", x, y, "--radius", "1e-21", "--iterations", "5000", "--size", "24x18",
                  "--generator", "brute", "--palette", "test.pal", "--out", "deep.png"},
                 dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(result_line(run.out, "centre x"), x);
    EXPECT_EQ(result_line(run.out, "centre y"), y);
    EXPECT_EQ(result_line(run.out, "iterations"), "5000");

    const Image expected =
        render_in_process({.width = 24, .height = 18, .generator = 2}, [&](qv_handle h) {
            qv_set_view_params_from_text(h, x.c_str(), y.c_str(), 1e-21);
            Location location;
            qv_store_location_to(h, &location);
            location.max_iterations = 5000;  // little-endian host
            qv_restore_location_from(h, &location);
        });
    EXPECT_GT(distinct_colours(expected), 50u);
    expect_same(read_png(dir / "deep.png"), expected, "deep");
}

TEST(RenderTool, PlaceSlotMatchesLibrary) {
    TempDir dir;
    Location stored;
    {
        qv_handle h = qv_create_context(16);
        qv_set_view_params_from_doubles(h, -1.25, 0.05, 0.02);
        qv_adjust_maximum_iterations(h, 2.0f);
        qv_store_location_to(h, &stored);
        qv_delete_context(&h);
    }
    std::vector<uint8_t> places(12 * sizeof(Location), 0);
    std::memcpy(places.data() + 3 * sizeof(Location), &stored, sizeof stored);
    write_file(dir / "my:places", places.data(), places.size());
    const auto palette = test_palette();
    write_file(dir / "test.pal", palette.data(), palette.size());

    ToolRun run = run_tool({"--place", "my:places:3", "--size", "64x48", "--generator", "box",
                            "--palette", "test.pal", "--out", "place.tga"},
                           dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(result_line(run.out, "iterations"), "300");
    const Image expected =
        render_in_process({.width = 64, .height = 48, .generator = 1},
                          [&](qv_handle h) { qv_restore_location_from(h, &stored); });
    EXPECT_GT(distinct_colours(expected), 20u);
    expect_same(read_tga(dir / "place.tga"), expected, "place");
}

TEST(RenderTool, HistoryFileMatchesLibrary) {
    TempDir dir;
    const std::string history = dir / "history.q";
    {
        qv_handle h = qv_create_context(16);
        qv_set_image_properties(h, 50, 40, 2, 2.0f);
        qv_set_palette(h, test_palette().data());
        qv_set_generator_type(h, 1);
        qv_set_view_params_from_doubles(h, 0.28, 0.008, 0.01);
        ASSERT_TRUE(qv_save_minimum(h, history.c_str()));
        qv_delete_context(&h);
    }
    ToolRun run = run_tool({"--load", "history.q", "--out", "history.png"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;

    qv_handle h = qv_create_context(16);
    ASSERT_TRUE(qv_load(h, history.c_str()));
    while (qv_refine_image(h)) {
    }
    Image expected;
    expected.width = qv_get_image_width(h);
    expected.height = qv_get_image_height(h);
    const uint8_t* rgb = qv_get_rgb_image(h);
    ASSERT_NE(rgb, nullptr);
    expected.rgb.assign(rgb, rgb + size_t(expected.width) * expected.height * 3);
    qv_delete_context(&h);
    EXPECT_EQ(expected.width, 50);
    EXPECT_GT(distinct_colours(expected), 20u);
    expect_same(read_png(dir / "history.png"), expected, "history");
}

TEST(RenderTool, DefaultOutputAndHelp) {
    TempDir dir;
    ToolRun run = run_tool({"--size", "16x16", "--iterations", "50"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_png(dir / "quorvel.png").width, 16);

    ToolRun help = run_tool({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    for (const char* section : {"NAME", "SYNOPSIS", "OPTIONS", "EXIT STATUS", "--place"}) {
        EXPECT_NE(help.out.find(section), std::string::npos) << section;
    }
}

TEST(RenderTool, BadInputExitsWithTwoAndLeavesNothing) {
    struct Case {
        std::vector<std::string> args;
        std::string names;  // the argument the message must name
    };
    const std::vector<Case> cases = {
        {{"--frobnicate"}, "--frobnicate"},
        {{"stray"}, "stray"},
        {{"--size", "0x10"}, "--size"},
        {{"--size", "600"}, "--size"},
        {{"--size", "5000x10", "--supersampling", "8"}, "--size"},
        {{"--radius", "abc"}, "--radius"},
        {{"--radius", "0"}, "--radius"},
        {{"--radius", "nan"}, "--radius"},
        {{"--radius"}, "--radius"},
        {{"--iterations", "1"}, "--iterations"},
        {{"--iterations", "12x"}, "--iterations"},
        {{"--supersampling", "9"}, "--supersampling"},
        {{"--gamma", "-1"}, "--gamma"},
        {{"--generator", "fast"}, "--generator"},
        {{"--centre", "0.1"}, "--centre"},
        {{"--centre", "abc", "0"}, "--centre"},
        {{"--centre", "0x1p3", "0"}, "--centre"},
        {{"--palette", "missing.pal"}, "--palette"},
        {{"--palette", "short.pal"}, "--palette"},
        {{"--load", "missing.q"}, "--load"},
        {{"--load", "garbage.q"}, "--load"},
        {{"--place", "missing"}, "--place"},
        {{"--place", "places:0"}, "--place"},
        {{"--place", "places:12"}, "--place"},
        {{"--place", "short:5"}, "--place"},
        {{"--place", "places:1", "--load", "garbage.q"}, "--place"},
        {{"--out", "no/such/folder/x.png"}, "--out"},
        {{"--out", "picture.jpg"}, "--out"},
        {{"--out", "sub"}, "--out"},
        {{"--out", "sub.png"}, "--out"},
    };
    TempDir dir;
    const uint8_t ten[10] = {};
    write_file(dir / "short.pal", ten, sizeof ten);
    write_file(dir / "garbage.q", "quorvel\nnonsense", 16);
    std::vector<uint8_t> places(1200, 0);
    places[100 + 99] = 1;  // slot 1 is not empty, slot 0 is
    write_file(dir / "places", places.data(), places.size());
    write_file(dir / "short", places.data(), 300);
    fs::create_directory(dir / "sub");
    fs::create_directory(dir / "sub.png");
    const std::set<std::string> before = dir.files();

    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        auto args = c.args;
        if (c.names != "--out" && c.names != "stray") args.insert(args.end(), {"--out", "x.png"});
        ToolRun run = run_tool(args, dir);
        EXPECT_EQ(run.status, 2) << joined << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << joined << run.err;
        EXPECT_NE(run.err.find(c.names), std::string::npos) << joined << run.err;
        EXPECT_TRUE(run.out.empty()) << joined << run.out;
        EXPECT_EQ(dir.files(), before) << joined;
    }
}

TEST(RenderTool, ExistingPictureSurvivesBadRun) {
    TempDir dir;
    write_file(dir / "keep.png", "old", 3);
    ToolRun run = run_tool({"--radius", "-1", "--out", "keep.png"}, dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(slurp(dir / "keep.png"), "old");
    if (geteuid() != 0) {  // root writes through any permission
        fs::permissions(dir / "keep.png", fs::perms::owner_read);
        run = run_tool({"--size", "8x8", "--out", "keep.png"}, dir);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(slurp(dir / "keep.png"), "old");
    }
}

TEST(RenderTool, InterruptLeavesNoPartialFile) {
    TempDir dir;
    // Deep brute force at full size: seconds of work, so the signal arrives mid-way.
    pid_t pid = spawn_tool(
        {"--centre", "-B.E5F721E9D05DC5BD5DF5D29FE7CB8x-1", "+8.6FD5EAD72F4C47C901E78955CD87x-3",
         "--radius", "1e-30", "--iterations", "5000", "--generator", "brute", "--out", "slow.png"},
        dir);
    ASSERT_GT(pid, 0);
    // Wait until the temporary picture exists, that is until computing began.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (dir.files().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(dir.files().empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGINT);
    ToolRun run = collect(pid, dir);
    EXPECT_EQ(run.status, 128 + SIGINT) << run.err;
    EXPECT_TRUE(dir.files().empty());
}

TEST(RenderOptions, CentreTextForms) {
    using quorvel::render::is_big_float_text;
    using quorvel::render::is_decimal_text;
    for (const char* good : {"+8.0x+0", "-B.E5x-1", "+C.CCCCCCCCCCCDx-4", "+0.0x+0", "8x3"}) {
        EXPECT_TRUE(is_big_float_text(good)) << good;
    }
    for (const char* bad : {"+8.0X+0", "+8.0x", "x+0", "+8..0x+0", "+8.0x+-1", "+8.0x+99999",
                            "+8.0x+1 ", " +8.0x+1", "+G.0x+0"}) {
        EXPECT_FALSE(is_big_float_text(bad)) << bad;
    }
    for (const char* bad : {"inf", "nan", "0x1p3", "", "-"}) {
        EXPECT_FALSE(is_decimal_text(bad)) << bad;
    }
    EXPECT_TRUE(is_decimal_text("-0.743643887037151e0"));
}

}  // namespace
