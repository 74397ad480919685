// quorvel-render end to end: its pictures against the library's own image for
// the same settings, and its handling of bad input.
#include <gtest/gtest.h>
#include <png.h>
#include <quorvel.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "options.h"
#include "render_helpers.h"

namespace {

using namespace render_test;

std::string test_palette() {
    std::string p;
    for (int i = 0; i < 256; ++i) p += {char(i * 7), char(255 - i), char(i * 13 + 40)};
    return p;
}

// The reference: the same work done in-process through the library.
Image render_in_process(int width, int height, int supersampling, float gamma, int generator,
                        const std::function<void(qv_handle)>& place_view) {
    qv_handle h = qv_create_context(64);
    qv_set_image_properties(h, width, height, supersampling, gamma);
    qv_set_palette(h, reinterpret_cast<const unsigned char*>(test_palette().data()));
    qv_set_generator_type(h, generator);
    place_view(h);
    while (qv_refine_image(h)) {
    }
    Image image{qv_get_image_width(h), qv_get_image_height(h), {}};
    const uint8_t* rgb = qv_get_rgb_image(h);
    image.rgb.assign(rgb, rgb + size_t(image.width) * image.height * 3);
    qv_delete_context(&h);
    return image;
}

// A deep centre with bits far below double precision, where escapes lie
// between 3000 and 5000 iterations.
const std::string kDeepX = "-B.E5F721E9D05DC5BD5DF5D29FE7CB8x-1";
const std::string kDeepY = "+8.6FD5EAD72F4C47C901E78955CD87x-3";

TEST(RenderTool, PicturesInPngAndTgaMatchTheLibrary) {
    TempDir dir;
    dir.write("test.pal", test_palette());
    Location stored;  // a place in slot 3 of a places file
    qv_handle h = qv_create_context(16);
    qv_set_view_params_from_doubles(h, -1.25, 0.05, 0.02);
    qv_adjust_maximum_iterations(h, 2.0f);
    qv_store_location_to(h, &stored);
    // A history file with its own size, supersampling, gamma and generator.
    qv_set_image_properties(h, 50, 40, 2, 2.0f);
    qv_set_palette(h, reinterpret_cast<const unsigned char*>(test_palette().data()));
    qv_set_generator_type(h, 1);
    qv_set_view_params_from_doubles(h, 0.28, 0.008, 0.01);
    ASSERT_TRUE(qv_save_minimum(h, (dir / "history.q").c_str()));
    qv_delete_context(&h);
    dir.write("my:places", std::string(300, '\0') +
                               std::string(reinterpret_cast<const char*>(&stored), 100) +
                               std::string(800, '\0'));

    const struct {
        std::string args;
        Image expected;
        std::string shown;  // part of the summary on standard output
    } cases[] = {
        {"--centre -0.75 0.10 --radius 0.05 --iterations 300 --size 80x60 --supersampling 2 "
         "--gamma 2.2",
         render_in_process(80, 60, 2, 2.2f, 0,
                           [](qv_handle h) {
                               qv_set_view_params_from_doubles(h, -0.75, 0.1, 0.05);
                               qv_adjust_maximum_iterations(h, 2.0f);  // 150 -> 300
                           }),
         "radius      0.050000000000000003\niterations  300\n"},
        {"--centre " + kDeepX + " " + kDeepY +
             " --radius 1e-21 --iterations 4800 --size 24x18 --generator brute",
         render_in_process(24, 18, 1, 1.75f, 2,
                           [](qv_handle h) {
                               qv_set_view_params_from_text(h, kDeepX.c_str(), kDeepY.c_str(),
                                                            1e-21);
                               qv_adjust_maximum_iterations(h, 32.0f);  // 150 -> 4800
                           }),
         "centre x    " + kDeepX + "\ncentre y    " + kDeepY + "\n"},
        {"--centre " + kDeepX + " " + kDeepY +
             " --radius 1e-21 --iterations 4800 --size 24x18 --deep-kernel perturbation",
         render_in_process(24, 18, 1, 1.75f, 0,
                           [](qv_handle h) {
                               qv_set_deep_kernel(h, 2);
                               qv_set_view_params_from_text(h, kDeepX.c_str(), kDeepY.c_str(),
                                                            1e-21);
                               qv_adjust_maximum_iterations(h, 32.0f);
                           }),
         "iterations  4800\n"},
        {"--centre " + kDeepX + " " + kDeepY +
             " --radius 1e-21 --iterations 4800 --size 24x18 --deep-kernel plain",
         render_in_process(24, 18, 1, 1.75f, 0,
                           [](qv_handle h) {
                               qv_set_deep_kernel(h, 3);
                               qv_set_view_params_from_text(h, kDeepX.c_str(), kDeepY.c_str(),
                                                            1e-21);
                               qv_adjust_maximum_iterations(h, 32.0f);
                           }),
         "iterations  4800\n"},
        {"--place my:places:3 --size 64x48 --generator box",
         render_in_process(64, 48, 1, 1.75f, 1,
                           [&](qv_handle h) { qv_restore_location_from(h, &stored); }),
         "iterations  300\n"},
        // Without --size a fresh render is 600x600, whatever the supersampling.
        {"--supersampling 3",
         render_in_process(600, 600, 3, 1.75f, 0,
                           [](qv_handle h) { qv_set_view_params_from_doubles(h, -0.5, 0.0, 1.5); }),
         "(600x600)"},
        {"--load history.q",
         render_in_process(1, 1, 1, 1, 0,
                           [&](qv_handle h) { qv_load(h, (dir / "history.q").c_str()); }),
         "(50x40)"},
    };
    for (const auto& c : cases) {
        // Many colours, so that equal pictures mean something.
        EXPECT_GT(std::set<uint8_t>(c.expected.rgb.begin(), c.expected.rgb.end()).size(), 20u);
        for (const std::string format : {"png", "TGA"}) {
            // One process: bands may infer pixels near their edges differently.
            const TempDir::Run run =
                dir.run(c.args + " --jobs 1 --palette test.pal --out out." + format);
            ASSERT_EQ(run.status, 0) << c.args << run.err;
            EXPECT_NE(run.out.find(c.shown), std::string::npos) << run.out;
            // Not a terminal: one summary line on standard error, no bar.
            EXPECT_EQ(std::ranges::count(run.err, '\n') + std::ranges::count(run.err, '\r'), 1);
            const Image image =
                format == "png" ? read_png(dir / "out.png") : read_tga(dir / "out.TGA");
            EXPECT_TRUE(image == c.expected) << c.args << " " << format;
        }
    }
}

// The colour options: the picture is the library's with the same mapping,
// the view chunk carries the mapping (and --place takes it back), --counts
// writes an OpenEXR picture of the grid, and a history file saved with its
// counts is recoloured without computing.
TEST(RenderTool, ColourMappingAndCounts) {
    TempDir dir;
    dir.write("test.pal", test_palette());
    const std::string view =
        "--centre -0.7436 0.1318 --radius 0.004 --iterations 1200 --size 60x40 ";
    auto place = [](qv_handle h) {
        qv_set_view_from_strings(h, "-0.7436", "0.1318", "0.004");  // as the tool reads them
        qv_adjust_maximum_iterations(h, 8.0f);
    };
    const Image expected = render_in_process(60, 40, 1, 1.75f, 0, [&](qv_handle h) {
        qv_set_colour_mapping(h, 6.0, 40.5, 1);
        place(h);
    });
    TempDir::Run run = dir.run(view +
                               "--colour-density 6 --colour-phase 296.5 --smooth --jobs 1 "
                               "--palette test.pal --counts n.exr --out mapped.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(read_png(dir / "mapped.png") == expected);
    const std::string chunk = png_text_chunk(dir / "mapped.png", "quorvel view");
    EXPECT_NE(chunk.find("colour-density 6\ncolour-phase 40.5\nsmooth 1\n"), std::string::npos)
        << chunk;
    const std::string exr = slurp(dir / "n.exr");
    ASSERT_GT(exr.size(), 60u * 40);
    EXPECT_EQ(exr.substr(0, 4), std::string("\x76\x2f\x31\x01", 4));
    EXPECT_NE(exr.find("NF"), std::string::npos);

    run = dir.run("--place mapped.png --jobs 1 --palette test.pal --out again.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(read_png(dir / "again.png") == expected);

    // A plain picture's chunk has no mapping lines.
    run = dir.run(view + "--jobs 1 --palette test.pal --out plain.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(png_text_chunk(dir / "plain.png", "quorvel view").find("colour"), std::string::npos);

    // A history saved with counts: recoloured, no time spent computing.
    qv_handle h = qv_create_context(16);
    qv_set_image_properties(h, 60, 40, 1, 1.75f);
    qv_set_palette(h, reinterpret_cast<const unsigned char*>(test_palette().data()));
    place(h);
    qv_set_colour_mapping(h, 2.0, 0.0, 0);
    while (qv_refine_image(h)) {
    }
    ASSERT_TRUE(qv_save_all(h, (dir / "counted.q").c_str()));
    qv_set_colour_mapping(h, 6.0, 40.5, 0);
    const unsigned char* rgb = qv_get_rgb_image(h);
    const Image recoloured{60, 40, std::vector<uint8_t>(rgb, rgb + 60 * 40 * 3)};
    qv_delete_context(&h);
    run = dir.run("--load counted.q --colour-density 6 --colour-phase 40.5 --out load.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(read_png(dir / "load.png") == recoloured);
    EXPECT_NE(run.out.find("seconds     0.0"), std::string::npos) << run.out;

    // A movie writes the counts of every frame.
    run = dir.run(view + "--smooth --zoom-frames 2 --out f%02d.png --counts n%02d.exr --jobs 2");
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* frame : {"n00.exr", "n01.exr"})
        EXPECT_EQ(slurp(dir / frame).substr(0, 4), std::string("\x76\x2f\x31\x01", 4)) << frame;
    // A rerun renders again the frames whose counts are missing.
    const std::string counts01 = slurp(dir / "n01.exr");
    std::filesystem::remove(dir / "n01.exr");
    run = dir.run(view + "--smooth --zoom-frames 2 --out f%02d.png --counts n%02d.exr --jobs 2");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(slurp(dir / "n01.exr") == counts01);

    for (const char* bad : {"--counts n.png", "--colour-density 0", "--colour-density -2",
                            "--colour-phase x", "--zoom-frames 2 --out f%02d.png --counts n.exr"}) {
        run = dir.run(view + bad);
        EXPECT_EQ(run.status, 2) << bad;
        EXPECT_NE(run.err.find(std::string(bad).find("counts") != std::string::npos ? "--counts"
                                                                                    : "--colour"),
                  std::string::npos)
            << run.err;
    }
}

TEST(RenderTool, BadInputOrInterruptLeavesNothing) {
    // Cases separated by commas; each one's first word is what its message must name.
    std::string cases =
        "--frobnicate,stray,--size 0x10,--size 600,--size 5000x10 --supersampling 8,"
        "--radius abc,--radius 0,--radius nan,--radius,--iterations 1,--iterations 12x,"
        "--supersampling 9,--gamma -1,--generator fast,--deep-kernel fast,--deep-kernel,--centre "
        "0.1,--centre abc 0,"
        "--centre 0x1p3 0,--palette missing.pal,--palette short.pal,--load missing.q,"
        "--load garbage.q,--place missing,--place places:0,--place places:12,--place short:5,"
        "--place places:1 --load garbage.q,--out no/such/folder/x.png,--out picture.jpg,"
        "--out sub,--out sub.png,--radius -1 --out keep.png,--palette fifo,--load fifo,"
        "--place fifo,--place fifo:0,--palette sub,--load sub";
    TempDir dir;
    dir.write("short.pal", std::string(10, '\0'));
    dir.write("garbage.q", "quorvel\nnonsense");
    std::string places(1200, '\0');
    places[100 + 99] = 1;  // slot 1 is not empty, slot 0 is
    dir.write("places", places);
    dir.write("short", places.substr(0, 300));
    dir.write("keep.png", "old");
    fs::create_directory(dir / "sub");
    fs::create_directory(dir / "sub.png");
    // Refused, never waited on.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    if (geteuid() != 0) {  // root writes through any permission
        fs::permissions(dir / "keep.png", fs::perms::owner_read);
        cases += ",--out keep.png";  // unwritable
    }
    const long before = dir.files();
    std::istringstream list(cases);
    for (std::string c; std::getline(list, c, ',');) {
        const TempDir::Run run =
            dir.run(c + (c.find("--out") == c.npos ? " --out x.png" : ""), "timeout -s KILL 20");
        EXPECT_EQ(run.status, 2) << c << run.err;
        EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << c << run.err;
        EXPECT_NE(run.err.find(c.substr(0, c.find(' '))), std::string::npos) << c << run.err;
        EXPECT_EQ(run.out, "") << c;
        EXPECT_EQ(dir.files(), before) << c;
    }
    EXPECT_EQ(slurp(dir / "keep.png"), "old");
    // Deep brute force at full size takes minutes; interrupted after a second,
    // the tool leaves no partial picture.
    const TempDir::Run run =
        dir.run("--centre " + kDeepX + " " + kDeepY +
                    " --radius 1e-30 --iterations 5000 --generator brute --out slow.png",
                "timeout --preserve-status -s INT 1");
    EXPECT_EQ(run.status, 128 + 2) << run.err;  // SIGINT
    EXPECT_EQ(dir.files(), before);

    // The palette a picture names has become a FIFO: a warning, not a wait.
    dir.write("named.pal", std::string(768, '\x40'));
    ASSERT_EQ(dir.run("--size 8x8 --palette named.pal --out named.png").status, 0);
    fs::remove(dir / "named.pal");
    ASSERT_EQ(mkfifo((dir / "named.pal").c_str(), 0600), 0);
    const TempDir::Run again = dir.run("--place named.png --out again.png", "timeout -s KILL 20");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("named.pal': it is not a regular file"), std::string::npos)
        << again.err;
}

// The text between `open` and `close` after `after` in the help; words may be
// split over lines there.
std::string help_text_after(const std::string& help, const std::string& after, char open,
                            char close) {
    std::string flat;
    for (char c : help) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!flat.empty() && flat.back() != ' ') flat += ' ';
        } else {
            flat += c;
        }
    }
    const std::size_t at = flat.find(after);
    if (at == std::string::npos) return {};
    const std::size_t from = flat.find(open, at + after.size());
    const std::size_t to = flat.find(close, from + 1);
    if (from == std::string::npos || to == std::string::npos) return {};
    return flat.substr(from + 1, to - from - 1);
}

// The help's own examples: the hexadecimal centre it gives is the decimal one
// it pairs it with, and every example command line parses.
TEST(RenderTool, HelpExamplesSayWhatTheyClaim) {
    TempDir dir;
    const std::string help = dir.run("--help").out;
    const std::string decimal = help_text_after(help, "a decimal number", '(', ')');
    const std::string hex = help_text_after(help, "hexadecimal text form", '(', ':');
    ASSERT_FALSE(decimal.empty() || hex.empty()) << help;
    qv_handle h = qv_create_context(16);
    qv_set_view_params_from_text(h, hex.c_str(), "0", 1.0);
    double x = 0, y = 0, radius = 0;
    qv_get_view_params_as_doubles(h, &x, &y, &radius);
    qv_delete_context(&h);
    EXPECT_EQ(x, std::stod(decimal)) << hex;

    const std::size_t examples = help.find("\nEXAMPLES\n");
    ASSERT_NE(examples, std::string::npos);
    std::istringstream lines(help.substr(examples));
    int count = 0;
    std::vector<std::string> args;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        for (std::string word; words >> word;) args.push_back(word);
        if (!args.empty() && args.back() == "\\") {  // continued on the next line
            args.pop_back();
            continue;
        }
        if (!args.empty() && args[0] == "quorvel-render") {
            std::vector<const char*> argv;
            for (const std::string& arg : args) argv.push_back(arg.c_str());
            const auto parsed = quorvel::render::parse_options(int(argv.size()), argv.data());
            EXPECT_EQ(parsed.error, "") << line;
            ++count;
        }
        args.clear();
    }
    EXPECT_GE(count, 2);
}

}  // namespace
