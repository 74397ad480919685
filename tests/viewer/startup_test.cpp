#include "startup.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace quorvel::viewer;

StartOptions parse(std::vector<const char*> args) {
    return parse_command_line(static_cast<int>(args.size()), args.data());
}

TEST(ProgramDirectory, UpToAndIncludingTheLastSeparator) {
    EXPECT_EQ(program_directory("/opt/quorvel/bin/viewer"), "/opt/quorvel/bin/");
    EXPECT_EQ(program_directory("build/bin/viewer"), "build/bin/");
    EXPECT_EQ(program_directory("C:\\tools\\viewer.exe"), "C:\\tools\\");
    EXPECT_EQ(program_directory("/viewer"), "/");
    EXPECT_EQ(program_directory("viewer"), "");
    EXPECT_EQ(program_directory(""), "");
    // A separator in the last position is not looked at.
    EXPECT_EQ(program_directory("bin/"), "");
    EXPECT_EQ(program_directory("a/bin/"), "a/");
    // A colon is an ordinary character: no drive-letter form on this platform.
    EXPECT_EQ(program_directory("C:viewer"), "");
}

TEST(CommandLine, DefaultsBesideTheProgram) {
    const StartOptions options = parse({"/opt/q/viewer"});
    EXPECT_EQ(options.program_dir, "/opt/q/");
    EXPECT_EQ(options.places_path, "/opt/q/places");
    EXPECT_EQ(options.palette_path, "/opt/q/def.pal");
    EXPECT_EQ(options.megabytes, 96);
    EXPECT_EQ(parse({"viewer"}).places_path, "places");
}

TEST(CommandLine, Megabytes) {
    EXPECT_EQ(parse({"v", "-megs=200"}).megabytes, 200);
    EXPECT_EQ(parse({"v", "-megs=-5"}).megabytes, 96);
    EXPECT_EQ(parse({"v", "-megs=lots"}).megabytes, 0);
    EXPECT_EQ(parse({"v", "-megs=64mb"}).megabytes, 64);
    EXPECT_EQ(parse({"v", "--megs=12"}).megabytes, 12);
    EXPECT_EQ(parse({"v", "-megs=10", "-megs=20"}).megabytes, 20);
    EXPECT_EQ(parse({"v", "-megs=99999999999999"}).megabytes, 2147483647);
    EXPECT_EQ(parse({"v", "-megs=-99999999999999"}).megabytes, 96);
    EXPECT_EQ(parse_megabytes("  42"), 42);
    EXPECT_EQ(parse_megabytes("+7"), 7);
}

TEST(CommandLine, PalettePaths) {
    EXPECT_EQ(parse({"/opt/q/viewer", "fire.pal"}).palette_path, "/opt/q/fire.pal");
    // A slash alone still means beside the program ...
    EXPECT_EQ(parse({"/opt/q/viewer", "palettes/fire.pal"}).palette_path,
              "/opt/q/palettes/fire.pal");
    // ... but an absolute path or one with a backslash is taken as it is.
    EXPECT_EQ(parse({"/opt/q/viewer", "/home/u/my.pal"}).palette_path, "/home/u/my.pal");
    EXPECT_EQ(parse({"/opt/q/viewer", "c:\\pal\\my.pal"}).palette_path, "c:\\pal\\my.pal");
    EXPECT_EQ(parse({"/opt/q/viewer", "a.pal", "-megs=5", "b.pal"}).palette_path, "/opt/q/b.pal");
    // Long paths are no problem.
    const std::string deep = "/" + std::string(3000, 'd') + "/x.pal";
    EXPECT_EQ(parse({"/opt/q/viewer", deep.c_str()}).palette_path, deep);
}

TEST(CommandLine, EchoedOnTheConsole) {
    test::Console console;
    const char* args[] = {"./viewer", "-megs=5", "fire.pal"};
    print_command_line(console.file(), 3, args);
    EXPECT_EQ(console.take(), "Command line:\n./viewer -megs=5 fire.pal\n");
    print_command_line(console.file(), 1, args);
    EXPECT_EQ(console.take(), "Command line:\n./viewer\n");
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    test::TempDir dir;
    test::Console console;
    ViewerState state;
};

TEST_F(StartupTest, FirstStartWithoutFiles) {
    const std::string program = dir / "viewer";
    const char* args[] = {program.c_str(), "-megs=-3"};
    const StartOptions options = parse_command_line(2, args);
    create_engine(state, options, console.file());
    load_places_and_palette(state, options, console.file());
    EXPECT_EQ(console.take(),
              "memory limit is 96 megabytes\nNo preset places found\nloading palette: " +
                  dir.str() + "/def.pal\n");
    const std::vector<std::string> head = {"create_context 96",
                                           "set_image_properties 600 600 1 1.75"};
    ASSERT_GE(fake::engine().calls.size(), 2u);
    EXPECT_EQ(
        std::vector<std::string>(fake::engine().calls.begin(), fake::engine().calls.begin() + 2),
        head);
    EXPECT_EQ(fake::calls_starting("store_location_to").size(), 12u);
    EXPECT_EQ(state.places[11].max_iterations, 150u);
    // A missing palette still reaches the engine, all black.
    EXPECT_EQ(fake::engine().calls.back(), "set_palette");
    EXPECT_EQ(fake::engine().palette, Palette{});

    // At exit the places are written and the context deleted.
    shut_down(state);
    EXPECT_EQ(state.handle, nullptr);
    EXPECT_EQ(fake::engine().calls.back(), "delete_context");
    EXPECT_EQ(test::read_file(dir / "places").size(), 1200u);
}

TEST_F(StartupTest, PlacesAndPaletteFromFiles) {
    std::string places(1200, '\0');
    places[2 * 100 + 96] = 7;  // slot 2's iteration limit
    test::write_file(dir / "places", places);
    std::string palette(768, '\0');
    palette[3] = 'x';
    test::write_file(dir / "fire.pal", palette);
    const std::string program = dir / "viewer";
    const char* args[] = {program.c_str(), "fire.pal"};
    const StartOptions options = parse_command_line(2, args);
    create_engine(state, options, console.file());
    load_places_and_palette(state, options, console.file());
    EXPECT_EQ(console.take(), "memory limit is 96 megabytes\nLoading places: " + dir.str() +
                                  "/places\nloading palette: " + dir.str() + "/fire.pal\n");
    EXPECT_TRUE(fake::calls_starting("store_location_to").empty());
    EXPECT_EQ(state.places[2].max_iterations, 7u);
    EXPECT_EQ(fake::engine().palette[3], 'x');
}

}  // namespace
