#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>

#include "picture.h"
#include "test_support.h"

namespace {

using namespace quorvel::viewer;

// 3 x 2 pixels, each byte distinct: pixel (x, y) = (10y + x, 100 + ..., 200 + ...).
std::vector<std::uint8_t> sample_image() {
    std::vector<std::uint8_t> rgb;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            const auto v = static_cast<std::uint8_t>(10 * y + x);
            rgb.insert(rgb.end(),
                       {v, static_cast<std::uint8_t>(100 + v), static_cast<std::uint8_t>(200 + v)});
        }
    return rgb;
}

TEST(Tga, HeaderThenBottomRowFirstInBlueGreenRed) {
    test::TempDir dir;
    const auto rgb = sample_image();
    ASSERT_TRUE(write_tga(dir / "p.tga", rgb.data(), 3, 2));
    const std::string file = test::read_file(dir / "p.tga");
    ASSERT_EQ(file.size(), 18u + 3 * 2 * 3);
    const std::string header("\0\0\2\0\0\0\0\0\0\0\0\0\3\0\2\0\x18\0", 18);
    EXPECT_EQ(file.substr(0, 18), header);
    // First row written is the bottom row (y = 1), pixel order B, G, R.
    const std::string bottom("\xd2\x6e\x0a\xd3\x6f\x0b\xd4\x70\x0c", 9);
    const std::string top("\xc8\x64\x00\xc9\x65\x01\xca\x66\x02", 9);
    EXPECT_EQ(file.substr(18, 9), bottom);
    EXPECT_EQ(file.substr(27, 9), top);
}

TEST(Tga, SizeOfAWindowPictureAndFailures) {
    test::TempDir dir;
    std::vector<std::uint8_t> rgb(600 * 400 * 3, 0x55);
    ASSERT_TRUE(write_tga(dir / "w.tga", rgb.data(), 600, 400));
    const std::string file = test::read_file(dir / "w.tga");
    EXPECT_EQ(file.size(), 18u + 600 * 400 * 3);
    EXPECT_EQ(file[2], 2);
    EXPECT_EQ(file[16], 24);
    EXPECT_EQ(static_cast<unsigned char>(file[12]) | static_cast<unsigned char>(file[13]) << 8,
              600);
    EXPECT_FALSE(write_tga(dir / "no/such/dir.tga", rgb.data(), 600, 400));
    EXPECT_FALSE(write_tga(dir / "big.tga", rgb.data(), 40000, 1));
    EXPECT_FALSE(write_tga(dir / "null.tga", nullptr, 1, 1));
}

TEST(Png, RoundTrip) {
    test::TempDir dir;
    const auto rgb = sample_image();
    ASSERT_TRUE(write_png(dir / "p.png", rgb.data(), 3, 2));
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (dir / "p.png").c_str()));
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.height, 2u);
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> back(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, back.data(), 0, nullptr));
    EXPECT_EQ(back, rgb);
    EXPECT_FALSE(write_png(dir / "no/such/dir.png", rgb.data(), 3, 2));
}

Location marked(std::uint32_t iterations) {
    Location place{};
    place.centre_x[0] = static_cast<std::uint8_t>(iterations);
    place.max_iterations = iterations;
    return place;
}

TEST(PlacesFile, MissingShortAndFull) {
    test::TempDir dir;
    Places places{};
    EXPECT_FALSE(read_places(dir / "places", places));

    Places written{};
    for (int i = 0; i < kPlaceCount; ++i) written[i] = marked(100 + i);
    ASSERT_TRUE(write_places(dir / "places", written));
    const std::string bytes = test::read_file(dir / "places");
    ASSERT_EQ(bytes.size(), 1200u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[2 * 100 + 96]), 102);
    // Only the places file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.str()),
                            std::filesystem::directory_iterator()),
              1);

    ASSERT_TRUE(read_places(dir / "places", places));
    EXPECT_EQ(std::memcmp(&places, &written, sizeof places), 0);

    // A file of two and a half records fills two slots and half of the
    // third; the other slots keep what they held.
    test::write_file(dir / "short", bytes.substr(0, 250));
    Places partly{};
    partly[5] = marked(9);
    ASSERT_TRUE(read_places(dir / "short", partly));
    EXPECT_EQ(partly[1].max_iterations, 101u);
    EXPECT_EQ(partly[2].centre_x[0], 102);
    EXPECT_EQ(partly[2].max_iterations, 0u);
    EXPECT_EQ(partly[5].max_iterations, 9u);
    EXPECT_EQ(partly[11].max_iterations, 0u);
}

TEST(PlacesFile, FailedWriteKeepsTheOldFile) {
    test::TempDir dir;
    Places places{};
    places[0] = marked(5);
    EXPECT_FALSE(write_places(dir / "missing/places", places));
    // A directory in the way of the rename: the write fails, nothing is lost.
    std::filesystem::create_directory(dir / "places");
    test::write_file(dir / "places/keep", "x");
    EXPECT_FALSE(write_places(dir / "places", places));
    EXPECT_EQ(test::read_file(dir / "places/keep"), "x");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.str()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(PaletteFile, ShortFileKeepsTheRest) {
    test::TempDir dir;
    Palette palette;
    palette.fill(7);
    test::write_file(dir / "short.pal", std::string(300, '\x01'));
    ASSERT_TRUE(read_palette(dir / "short.pal", palette));
    EXPECT_EQ(palette[299], 1);
    EXPECT_EQ(palette[300], 7);
    EXPECT_EQ(palette[767], 7);
    EXPECT_FALSE(read_palette(dir / "none.pal", palette));
    EXPECT_EQ(palette[0], 1);
}

class FileCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        state.handle = fake::handle();
        state.program_dir = dir.str() + "/";
    }
    test::TempDir dir;
    ViewerState state;
    test::RecordingWindow window;
    test::ScriptedDialogs dialogs;
    test::Console console;
    Commands commands{state, window, dialogs, console.file()};
};

TEST_F(FileCommandsTest, ExportWritesTgaOrPng) {
    fake::engine().width = 3;
    fake::engine().height = 2;
    // No image: no dialog.
    commands.key('s');
    EXPECT_TRUE(dialogs.asked.empty());

    fake::engine().rgb = sample_image();
    dialogs.saves.push_back({dir / "a.TGA", 1});
    dialogs.saves.push_back({dir / "b.png", 2});
    commands.key('S');
    commands.key('s');
    ASSERT_EQ(dialogs.asked.size(), 2u);
    EXPECT_EQ(dialogs.asked[0].title, "Give me a name ... save me!");
    EXPECT_EQ(dialogs.asked[0].file_name, "yipiieh.TGA");
    EXPECT_EQ(dialogs.asked[0].filters[0].pattern, "*.TGA");
    EXPECT_EQ(dialogs.asked[0].filters[1].pattern, "*.png");
    EXPECT_EQ(test::read_file(dir / "a.TGA").size(), 18u + 18u);
    EXPECT_EQ(test::read_file(dir / "b.png").substr(1, 3), "PNG");
    EXPECT_EQ(console.take(), "");
}

TEST_F(FileCommandsTest, HistorySavePicksTheWriterByFilter) {
    dialogs.saves.push_back({dir / "full.q", 1});
    dialogs.saves.push_back({dir / "min.q", 2});
    commands.key('H');
    commands.key('H');
    EXPECT_EQ(fake::calls_starting("save_all"),
              std::vector<std::string>{"save_all " + dir / "full.q"});
    EXPECT_EQ(fake::calls_starting("save_minimum"),
              std::vector<std::string>{"save_minimum " + dir / "min.q"});
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(dialogs.asked[0].file_name, "history.q");
    EXPECT_EQ(dialogs.asked[0].default_extension, "q");
    EXPECT_TRUE(dialogs.asked[0].overwrite_prompt);
}

TEST_F(FileCommandsTest, HistorySaveFailures) {
    // An uncreatable file is reported before the engine is asked.
    dialogs.saves.push_back({dir / "no/such/dir/h.q", 1});
    commands.key('H');
    EXPECT_TRUE(fake::calls_starting("save").empty());
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0], "Oh no ...: Whoops! Something went wrong!");

    // A failing engine save neither empties an existing history nor leaves
    // an empty new file behind.
    fake::engine().save_result = false;
    test::write_file(dir / "old.q", "quorvel\nprecious");
    dialogs.saves.push_back({dir / "old.q", 1});
    dialogs.saves.push_back({dir / "new.q", 2});
    commands.key('H');
    commands.key('H');
    EXPECT_EQ(test::read_file(dir / "old.q"), "quorvel\nprecious");
    EXPECT_FALSE(std::filesystem::exists(dir / "new.q"));
    EXPECT_EQ(dialogs.messages.size(), 3u);

    // Cancel: nothing happens.
    commands.key('H');
    EXPECT_EQ(dialogs.messages.size(), 3u);
}

TEST_F(FileCommandsTest, HistoryLoadReportsAndAlwaysRefreshes) {
    fake::engine().width = 640;
    fake::engine().height = 480;
    dialogs.opens.push_back(dir / "missing.q");
    commands.key('h');
    EXPECT_TRUE(fake::calls_starting("load").empty());
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0], "*gnarf*: This didn't work too well, I'm afraid :(");
    EXPECT_EQ(window.reshapes.back(), std::make_pair(640, 480));
    EXPECT_EQ(console.take(),
              "mandelbrot center = 0.0000000000 / 0.0000000000\n"
              "radius= 2; maximum iteration depth = 150\n");

    test::write_file(dir / "h.q", "quorvel\n");
    dialogs.opens.push_back(dir / "h.q");
    commands.key('h');
    EXPECT_EQ(fake::calls_starting("load"), std::vector<std::string>{"load " + dir / "h.q"});
    EXPECT_EQ(dialogs.messages.size(), 1u);
    fake::engine().load_result = false;
    dialogs.opens.push_back(dir / "h.q");
    commands.key('h');
    EXPECT_EQ(dialogs.messages.size(), 2u);
    // A cancelled dialog still refreshes the window.
    commands.key('h');
    EXPECT_EQ(window.reshapes.size(), 4u);
    EXPECT_EQ(dialogs.asked.back().title, "Recover your history for a better tomorrow");
}

TEST_F(FileCommandsTest, PaletteChoice) {
    test::write_file(dir / "fire.pal", std::string(300, '\x09'));
    state.palette.fill(4);
    dialogs.opens.push_back(dir / "fire.pal");
    commands.key('p');
    EXPECT_EQ(dialogs.asked[0].initial_directory, dir.str() + "/");
    EXPECT_EQ(dialogs.asked[0].filters[0].pattern, "*.PAL");
    EXPECT_EQ(fake::engine().palette[299], 9);
    EXPECT_EQ(fake::engine().palette[300], 4);
    EXPECT_EQ(window.idles.back(), Idle::refine);

    // Unreadable choice: the engine's palette is not touched.
    fake::engine().calls.clear();
    dialogs.opens.push_back(dir / "none.pal");
    commands.key('p');
    EXPECT_TRUE(fake::calls_starting("set_palette").empty());
}

}  // namespace
