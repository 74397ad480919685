// The picture and places files, and the file dialogs over a stand-in zenity
// (the terminal dialogs are driven by e2e.sh).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <vector>

#include "dialogs.h"
#include "picture_file.h"
#include "places.h"
#include "places_text.h"
#include "startup.h"
#include "test_support.h"

namespace {

using namespace quorvel::viewer;
namespace common = quorvel::common;
namespace fs = std::filesystem;

using common::PictureFormat;

TEST(PictureFiles, TgaHeaderThenBottomRowFirst) {
    // 3 x 2 pixels, every byte distinct: pixel (x, y) is (10y + x, 100 + 10y + x, 200 + 10y + x).
    std::vector<std::uint8_t> rgb;
    for (int v : {0, 1, 2, 10, 11, 12})
        rgb.insert(rgb.end(), {uint8_t(v), uint8_t(100 + v), uint8_t(200 + v)});
    test::TempDir dir;
    std::string error;
    ASSERT_TRUE(common::save_picture(dir / "p.tga", PictureFormat::tga, {rgb.data(), 3, 2}, error));
    const std::string header("\0\0\2\0\0\0\0\0\0\0\0\0\3\0\2\0\x18\0", 18);
    // The bottom row (y = 1) first, each pixel blue, green, red.
    const std::string rows(
        "\xd2\x6e\x0a\xd3\x6f\x0b\xd4\x70\x0c\xc8\x64\x00\xc9\x65\x01\xca\x66\x02", 18);
    EXPECT_EQ(test::read_file(dir / "p.tga"), header + rows);
    const std::vector<std::uint8_t> wide(120000);
    for (const auto& [path, picture] : std::vector<std::pair<std::string, common::Picture>>{
             {dir / "no/such/dir.tga", {rgb.data(), 3, 2}},
             {dir / "wide.tga", {wide.data(), 40000, 1}},
             {dir / "null.tga", {nullptr, 1, 1}},
             {dir.str(), {rgb.data(), 3, 2}}}) {
        error.clear();
        EXPECT_FALSE(common::save_picture(path, PictureFormat::tga, picture, error)) << path;
        EXPECT_FALSE(error.empty()) << path;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.str()), fs::directory_iterator()), 1);
}

TEST(PictureFiles, FormatFollowsTheExtension) {
    EXPECT_EQ(common::picture_format_for("a/b.TGA"), PictureFormat::tga);
    EXPECT_EQ(common::picture_format_for("b.png"), PictureFormat::png);
    EXPECT_EQ(common::picture_format_for("b.Png"), PictureFormat::png);
    EXPECT_EQ(common::picture_format_for("b.jpg"), std::nullopt);
    EXPECT_EQ(common::picture_format_for("x.png/b"), std::nullopt);
    EXPECT_EQ(common::picture_format_for("png"), std::nullopt);
}

// A full disk, played by a file size limit: the write fails with a reason, the
// old picture stays whole and no temporary file is left.
TEST(PictureFiles, FullDiskKeepsTheOldPicture) {
    test::TempDir dir;
    std::vector<std::uint8_t> noise(600 * 600 * 3);
    std::uint32_t seed = 1;
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    for (PictureFormat format : {PictureFormat::tga, PictureFormat::png}) {
        const std::string path = dir / "full.pic";
        test::write_file(path, "old");
        struct rlimit small = old_limit;
        small.rlim_cur = 102400;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        std::string error;
        const bool saved = common::save_picture(path, format, {noise.data(), 600, 600}, error);
        setrlimit(RLIMIT_FSIZE, &old_limit);
        EXPECT_FALSE(saved);
        EXPECT_NE(error.find("full.pic"), std::string::npos) << error;
        EXPECT_NE(error.find("too large"), std::string::npos) << error;  // EFBIG
        EXPECT_EQ(test::read_file(path), "old");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.str()), fs::directory_iterator()), 1);
    }
    std::signal(SIGXFSZ, old_handler);
}

TEST(PlacesFile, MissingShortFullAndFailedWrite) {
    test::TempDir dir;
    std::string error;
    Places written{}, places{};
    EXPECT_FALSE(read_places(dir / "places", places));
    for (int i = 0; i < kPlaceCount; ++i) {
        written[i].centre_x[0] = static_cast<std::uint8_t>(100 + i);
        written[i].max_iterations = 100 + i;
    }
    ASSERT_TRUE(write_places(dir / "places", written, error));
    const std::string bytes = test::read_file(dir / "places");
    ASSERT_EQ(bytes.size(), 1200u);
    EXPECT_EQ(bytes[2 * 100 + 96], 102);
    ASSERT_TRUE(read_places(dir / "places", places));
    EXPECT_EQ(std::memcmp(&places, &written, sizeof places), 0);

    // Two and a half records: the rest, the missing half too, keeps what it held.
    test::write_file(dir / "short", bytes.substr(0, 250));
    Places partly{};
    partly[5].max_iterations = 9;
    ASSERT_TRUE(read_places(dir / "short", partly));
    EXPECT_EQ(partly[1].max_iterations, 101u);
    EXPECT_EQ(partly[2].centre_x[0], 102);
    EXPECT_EQ(partly[2].max_iterations, 0u);
    EXPECT_EQ(partly[5].max_iterations, 9u);

    // A FIFO is refused, not read or waited on.
    const int fifo = test::filled_fifo(dir / "fifo", bytes);
    ASSERT_GE(fifo, 0);
    EXPECT_FALSE(read_places(dir / "fifo", partly));
    EXPECT_EQ(partly[5].max_iterations, 9u);
    ::close(fifo);
    fs::remove(dir / "fifo");

    // A directory in the way of the rename: the write fails; no temporary file
    // is left behind, from this or the earlier write.
    fs::remove(dir / "short");
    fs::remove(dir / "places");
    fs::create_directory(dir / "places");
    EXPECT_FALSE(write_places(dir / "places", written, error));
    EXPECT_FALSE(write_places(dir / "missing/places", written, error));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.str()), fs::directory_iterator()), 1);
}

// Twelve lines, a place or nothing each; anything else is refused whole and
// leaves the places as they were.
TEST(PlacesText, RoundTripAndRefusals) {
    PlaceTexts places;
    places[0] =
        PlaceText{{"-B.E5F721EB1E3C8x-1", "+8.6FD5EAD4F61B8x-3", "+D.BE6FECEBDEDD8x-34"}, 150, {}};
    places[11] = PlaceText{{"+8.0x-2", "-0.0x+0", "+F.D00B897478238x-3330"}, 4294967295u, {}};
    const std::string text = format_places_text(places);
    EXPECT_EQ(text, "-B.E5F721EB1E3C8x-1 +8.6FD5EAD4F61B8x-3 +D.BE6FECEBDEDD8x-34 150\n" +
                        std::string(10, '\n') +
                        "+8.0x-2 -0.0x+0 +F.D00B897478238x-3330 4294967295\n");
    // A colour mapping other than the plain one adds three fields.
    PlaceTexts mapped = places;
    mapped[5] = PlaceText{{"+8.0x-2", "-0.0x+0", "+8.0x-40"}, 300, PlaceMapping{0.1, 16, true}};
    const std::string mapped_text = format_places_text(mapped);
    EXPECT_NE(mapped_text.find("+8.0x-40 300 0.10000000000000001 16 1\n"), std::string::npos);
    PlaceTexts mapped_read;
    std::string mapped_problem;
    ASSERT_TRUE(parse_places_text(mapped_text, mapped_read, mapped_problem)) << mapped_problem;
    EXPECT_EQ(mapped_read, mapped);
    PlaceTexts read;
    std::string problem;
    ASSERT_TRUE(parse_places_text(text, read, problem)) << problem;
    EXPECT_EQ(read, places);

    const std::string line = "+8.0x-2 +0.0x+0 +8.0x-40 300";
    const std::string rest = std::string(11, '\n');
    const std::pair<std::string, std::string> refused[] = {
        {rest, "line 12: missing"},
        {line + "\n" + rest + "\n", "more than 12 lines"},
        {rest + line, "line 12: no line end"},
        {line + "\r\n" + rest, "line 1: the iteration limit is not a number from 2 to 4294967295"},
        {"+8.0x-2  +0.0x+0 +8.0x-40 300\n" + rest,
         "line 1: four (or seven) fields separated by single spaces expected"},
        {"+8.0x-2\t+0.0x+0 +8.0x-40 300\n" + rest,
         "line 1: four (or seven) fields separated by single spaces expected"},
        {line + " 5\n" + rest,
         "line 1: four (or seven) fields separated by single spaces expected"},
        {line + " 1 0 0\n" + rest, "line 1: the plain colour mapping is written as four fields"},
        {line + " 2 0 1 \n" + rest,
         "line 1: four (or seven) fields separated by single spaces expected"},
        {line + " 2.0 0 0\n" + rest,
         "line 1: the colour mapping is not a density above 0, a phase from 0 to 256 and 0 or 1"},
        {line + " 2 256 1\n" + rest,
         "line 1: the colour mapping is not a density above 0, a phase from 0 to 256 and 0 or 1"},
        {"0.25 +0.0x+0 +8.0x-40 300\n" + rest, "line 1: the centre is no exact hexadecimal text"},
        {"+8.0x-2 +0.0x+0 -8.0x-40 300\n" + rest,
         "line 1: the radius is no positive exact hexadecimal text"},
        {"+8.0x-2 +0.0x+0 +0.0x+0 300\n" + rest,
         "line 1: the radius is no positive exact hexadecimal text"}};
    for (const auto& [bad, why] : refused) {
        read = places;
        EXPECT_FALSE(parse_places_text(bad, read, problem)) << bad;
        EXPECT_EQ(problem, why) << bad;
        EXPECT_EQ(read, places);
    }
    for (const char* limit : {"1", "0150", "4294967296", "+300", "", "3e2"}) {
        EXPECT_FALSE(parse_places_text(
            "+8.0x-2 +0.0x+0 +8.0x-40 " + std::string(limit) + "\n" + rest, read, problem))
            << limit;
    }
    EXPECT_EQ(places_text_path("/opt/q/places"), "/opt/q/places.txt");
}

const FileDialog kPicture{.title = "Picture",
                          .filters = {{"TGA images", "*.TGA"}, {"PNG images", "*.png"}},
                          .default_extension = "TGA",
                          .overwrite_prompt = true};
const FileDialog kHistory{.title = "History", .filters = {{"Full", "*.q"}, {"Coords", "*.q"}}};

// The terminal asks for the picture type only when the name's extension does
// not tell it, and says what Enter means; histories are always asked.
TEST(Dialogs, TerminalTypeFollowsTheTypedExtension) {
    struct Case {
        const FileDialog* dialog;
        std::string typed, answers, path;
        int index;
    };
    test::TempDir dir;
    const std::string d = dir.str() + "/";
    for (const Case& c : std::vector<Case>{{&kPicture, "h.png", "", "h.png", 2},
                                           {&kPicture, "e.tga", "", "e.tga", 1},
                                           {&kPicture, "pic", "\n", "pic.TGA", 1},
                                           {&kPicture, "pic", "2\n", "pic.png", 2},
                                           {&kPicture, "x.jpg", "2\n", "x.jpg", 2},
                                           {&kHistory, "h.q", "2\n", "h.q", 2}}) {
        std::FILE* answers = std::tmpfile();
        std::FILE* prompts = std::tmpfile();
        std::fputs((d + c.typed + "\n" + c.answers).c_str(), answers);
        std::rewind(answers);
        auto choice =
            make_dialogs(make_terminal_backend(answers, prompts, prompts))->save_file(*c.dialog);
        std::rewind(prompts);
        std::string shown(4096, '\0');
        shown.resize(std::fread(shown.data(), 1, shown.size(), prompts));
        std::fclose(answers);
        std::fclose(prompts);
        ASSERT_TRUE(choice) << c.typed;
        EXPECT_EQ(choice->path, d + c.path);
        EXPECT_EQ(choice->filter_index, c.index) << c.typed;
        EXPECT_EQ(shown.find("type [1-2, Enter = 1]: ") != std::string::npos, !c.answers.empty())
            << c.typed << shown;
    }
}

// Without any dialog, a dialog key says so and how to get one.
TEST(Dialogs, NoDialogAvailableIsSaid) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* errors = open_memstream(&text, &size);
    auto dialogs = make_dialogs(make_silent_backend(errors));
    EXPECT_FALSE(dialogs->open_file(kHistory));
    EXPECT_FALSE(dialogs->save_file(kPicture));
    std::fclose(errors);
    const std::string said(text, size);
    std::free(text);
    EXPECT_EQ(std::ranges::count(said, '\n'), 2);
    EXPECT_NE(said.find("no file dialog available"), std::string::npos) << said;
    EXPECT_NE(said.find("QUORVEL_DIALOGS=terminal\n"), std::string::npos) << said;
}

// Logs its arguments, each followed by '|', one call a line, and answers with
// the first line of zenity.answers: "STATUS[ OUTPUT]".
const char kStub[] = R"(#!/bin/sh
printf '%s|' "$@" >> "$0.log"; echo >> "$0.log"
line=$(head -n 1 "$0.answers"); sed -i 1d "$0.answers"
[ "${line#* }" != "$line" ] && echo "${line#* }"
exit "${line%% *}"
)";

TEST(Dialogs, ZenityArgumentsFilterChoiceAndOverwrite) {
    test::TempDir dir;
    test::write_file(dir / "zenity", kStub);
    chmod((dir / "zenity").c_str(), 0755);
    const std::string old_path = std::getenv("PATH");
    setenv("PATH", (dir.str() + ":" + old_path).c_str(), 1);
    auto dialogs = make_default_dialogs(
        [](const char* name) {
            return name == std::string("DISPLAY") ? ":42"
                   : name == std::string("PATH")  ? std::getenv("PATH")
                                                  : nullptr;
        },
        false);
    auto answer = [&](const std::string& lines) {
        test::write_file(dir / "zenity.answers", lines);
    };
    auto calls = [&] {  // the calls since the last look
        std::string log = test::read_file(dir / "zenity.log");
        std::filesystem::remove(dir / "zenity.log");
        return log;
    };

    answer("0 " + dir / "fire.pal" + "\n0\n");
    EXPECT_EQ(dialogs->open_file({.title = "Palette",
                                  .filters = {{"Palettes", "*.PAL"}, {"All", "*.*"}},
                                  .initial_directory = "/opt/q"}),
              dir / "fire.pal");
    dialogs->message("It didn't work :(", "*gnarf*");
    EXPECT_EQ(calls(),
              "--file-selection|--title=Palette|--filename=/opt/q/|"
              "--file-filter=Palettes | *.PAL *.pal|--file-filter=All | *.*|\n"
              "--error|--no-markup|--title=*gnarf*|--text=It didn't work :(|\n");
    // "x.png" matches only the second picture filter: no question.
    answer("0 " + dir / "x.png" + "\n");
    auto png = dialogs->save_file(kPicture);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->path + std::to_string(png->filter_index), dir / "x.png2");
    EXPECT_EQ(calls(),
              "--file-selection|--title=Picture|--save|--confirm-overwrite|"
              "--file-filter=TGA images | *.TGA *.tga|--file-filter=PNG images | *.png *.PNG|\n");
    // Both history filters are "*.q": always asked; a cancelled question or
    // picker cancels the save.
    answer("0 " + dir / "h.q" + "\n0 2\n0 " + dir / "h.q" + "\n1\n1\n");
    auto history = dialogs->save_file(kHistory);
    ASSERT_TRUE(history);
    EXPECT_EQ(history->path + std::to_string(history->filter_index), dir / "h.q2");
    EXPECT_FALSE(dialogs->save_file(kHistory));
    EXPECT_FALSE(dialogs->save_file(kHistory));
    std::string log = calls();
    EXPECT_EQ(std::ranges::count(log, '\n'), 5);
    EXPECT_NE(log.find("\n--list|--title=History|--text=File type|--column=#|"
                       "--column=File type|--hide-column=1|--print-column=1|1|Full|2|Coords|\n"),
              std::string::npos);
    // Typed without extension, type 1, pic.TGA exists: asked, and the answer is no.
    test::write_file(dir / "pic.TGA", "old");
    answer("0 " + dir / "pic" + "\n0 1\n1\n");
    EXPECT_FALSE(dialogs->save_file(kPicture));
    EXPECT_NE(calls().find("\n--question|--no-markup|--title=Picture|--text=" + dir / "pic.TGA" +
                           " already exists. Replace it?|\n"),
              std::string::npos);
    // An existing name the picker returned itself is not asked about again.
    answer("0 " + dir / "pic.TGA" + "\n");
    EXPECT_TRUE(dialogs->save_file(kPicture));
    EXPECT_EQ(std::ranges::count(calls(), '\n'), 1);
    setenv("PATH", old_path.c_str(), 1);
}

TEST(DataDirectory, BesideTheProgramFirstThenInstalled) {
    test::TempDir dir;
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "share/quorvel");
    const std::string bin = dir / "bin/", share = dir / "share/quorvel/";
    // Nothing anywhere: beside the program, as before.
    EXPECT_EQ(data_directory(bin, share), bin);
    test::write_file(share + "def.pal", std::string(768, '\0'));
    EXPECT_EQ(data_directory(bin, share), share);
    EXPECT_EQ(data_directory(bin, ""), bin);
    // A def.pal beside the program wins, as in the build's program folder.
    test::write_file(bin + "def.pal", std::string(768, '\0'));
    EXPECT_EQ(data_directory(bin, share), bin);
}

}  // namespace
