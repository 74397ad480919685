// quorvel-render's worker processes end to end: zoom movies (frame views,
// resume, a split through GNU parallel, video through ffmpeg), pictures in
// bands, the view a picture carries, and what faults and bad input leave.
#include "movie.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "render_helpers.h"
#include "view_text.h"

namespace {

using namespace render_test;

const std::string kMovie =
    "--centre -0.743643887037151 0.131825904205330 --radius 1e-6 --iterations 1000 "
    "--size 64x48 --zoom-frames 6 --zoom-from 0.5 --iterations-from 200";
const int kFrames = 6;

std::string frame(int k) {
    char name[32];
    std::snprintf(name, sizeof name, "f/%03d.png", k);
    return name;
}

std::vector<std::string> all_frames() {
    std::vector<std::string> names;
    for (int k = 0; k < kFrames; ++k) names.push_back(frame(k).substr(2));
    return names;
}

// A movie rendered in one run, with each frame's bytes.
struct Reference {
    TempDir dir;
    std::vector<std::string> frames;
    Reference() {
        fs::create_directory(dir / "f");
        const TempDir::Run run = dir.run(kMovie + " --jobs 2 --out f/%03d.png");
        EXPECT_EQ(run.status, 0) << run.err;
        // Not a terminal: one line per frame.
        EXPECT_EQ(std::ranges::count(run.err, '\n'), kFrames) << run.err;
        for (int k = 0; k < kFrames; ++k) frames.push_back(slurp(dir / frame(k)));
    }
};

const Reference& reference() {
    static const Reference r;
    return r;
}

void expect_reference_frames(const TempDir& dir) {
    EXPECT_EQ(dir.names("f"), all_frames());  // nothing half-made or hidden
    for (int k = 0; k < kFrames; ++k)
        EXPECT_TRUE(slurp(dir / frame(k)) == reference().frames[k]) << "frame " << k;
}

TEST(ZoomMovie, FramesCarryThePlannedRadiusAndLimit) {
    const quorvel::render::ZoomPlan plan(kFrames, 0.5, 1e-6, 200, 1000);
    for (int k = 0; k < kFrames; ++k) {
        const auto view = quorvel::common::parse_view_text(
            png_text_chunk(reference().dir / frame(k), quorvel::common::kViewChunkKeyword));
        ASSERT_TRUE(view) << k;
        EXPECT_EQ(view->radius, plan.frame(k).radius) << k;
        EXPECT_EQ(view->iterations, plan.frame(k).iterations) << k;
        EXPECT_EQ(view->centre_x, "-B.E5F721EB1E3C76DD4EDE45B22C0564AE0199413B469AF35x-1");
        EXPECT_EQ(read_png(reference().dir / frame(k)).width, 64);
    }
    EXPECT_EQ(reference().frames[0] == reference().frames[1], false);
}

TEST(ZoomMovie, TwoHalvesThroughGnuParallelEqualOneRun) {
    TempDir dir;
    fs::create_directory(dir / "f");
    if (dir.shell("command -v parallel >/dev/null") != 0) GTEST_SKIP() << "GNU parallel missing";
    const std::string tool =
        std::string("'") + QV_RENDER_TOOL + "' " + kMovie + " --jobs 1 --out f/%03d.png";
    ASSERT_EQ(dir.shell("parallel --will-cite --halt now,fail=1 ::: \"" + tool +
                        " --frames 0:2\" \"" + tool + " --frames 3:5\" >/dev/null 2>&1"),
              0);
    expect_reference_frames(dir);
}

TEST(ZoomMovie, AKilledWorkerLeavesCompleteFramesAndARerunFinishes) {
    TempDir dir;
    fs::create_directory(dir / "f");
    TempDir::Run run =
        dir.run(kMovie + " --jobs 2 --out f/%03d.png", "env QUORVEL_RENDER_TEST_KILL=3");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("frame 3"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("killed"), std::string::npos) << run.err;
    const std::vector<std::string> left = dir.names("f");
    EXPECT_EQ(std::ranges::count(left, "003.png"), 0);
    for (const std::string& name : left) {
        EXPECT_NE(name[0], '.') << "temporary file left: " << name;
        EXPECT_TRUE(slurp(dir / ("f/" + name)) == reference().frames[std::stoi(name)]) << name;
    }
    run = dir.run(kMovie + " --jobs 2 --out f/%03d.png");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(std::to_string(left.size()) + " already there"), std::string::npos)
        << run.out;
    expect_reference_frames(dir);

    // Interrupted (as by Ctrl+C) in the middle of slow frames: every worker
    // ends and only complete frames remain.
    TempDir slow;
    fs::create_directory(slow / "f");
    run = slow.run(
        "--centre -B.E5F721E9D05DC5BD5DF5D29FE7CB8x-1 +8.6FD5EAD72F4C47C901E78955CD87x-3 "
        "--radius 1e-28 --iterations 5000 --generator brute --size 200x200 --zoom-frames 40 "
        "--jobs 2 --out f/%03d.png",
        "timeout --preserve-status -s INT 1");
    EXPECT_EQ(run.status, 128 + 2) << run.err;
    for (const std::string& name : slow.names("f")) {
        EXPECT_NE(name[0], '.') << "temporary file left: " << name;
        EXPECT_EQ(read_png(slow / ("f/" + name)).width, 200) << name;
    }
}

TEST(ZoomMovie, VideoGoesThroughFfmpegOrStopsBeforeAnyWork) {
    TempDir dir;
    fs::create_directory(dir / "f");
    fs::create_directory(dir / "bin");
    // A stand-in that stores what it is sent in its last argument.
    dir.write("bin/ffmpeg", "#!/bin/sh\nfor last; do :; done\ncat > \"$last\"\n");
    fs::permissions(dir / "bin/ffmpeg", fs::perms::owner_all);
    TempDir::Run run = dir.run(kMovie + " --out f/%03d.png --video movie.mp4",
                               "env PATH=" + (dir / "bin") + ":/usr/bin:/bin");
    ASSERT_EQ(run.status, 0) << run.err;
    std::string sent;
    for (int k = 0; k < kFrames; ++k) sent += reference().frames[k];
    EXPECT_TRUE(slurp(dir / "movie.mp4") == sent);
    expect_reference_frames(dir);

    fs::remove_all(dir / "f");
    fs::create_directory(dir / "f");
    run = dir.run(kMovie + " --out f/%03d.png --video again.mp4", "env PATH=/nonexistent");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("ffmpeg"), std::string::npos) << run.err;
    EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << run.err;
    EXPECT_TRUE(dir.names("f").empty());
    EXPECT_FALSE(fs::exists(dir / "again.mp4"));
}

TEST(Bands, BruteForceBandsEqualOneProcess) {
    const std::string views[] = {
        // Shallow, in doubles; the radius a power of two.
        "--centre -0.75 0.1 --radius 0.0078125 --iterations 500 --size 64x50 --supersampling 2",
        // Deep, in 192-bit arithmetic: radius 2^-70.
        "--centre -B.E5F721E9D05DC5BD5DF5D29FE7CB8x-1 +8.6FD5EAD72F4C47C901E78955CD87x-3 "
        "--radius 8.4703294725430034e-22 --iterations 4800 --size 32x21",
    };
    TempDir dir;
    for (const std::string& view : views) {
        const std::string args = view + " --generator brute --out ";
        ASSERT_EQ(dir.run(args + "one.png --jobs 1").status, 0);
        // Three workers, twelve uneven bands.
        const TempDir::Run run = dir.run(args + "bands.png --jobs 3");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("bands)"), std::string::npos) << run.out;
        const Image one = read_png(dir / "one.png");
        EXPECT_GT(std::set<uint8_t>(one.rgb.begin(), one.rgb.end()).size(), 10u) << view;
        EXPECT_TRUE(read_png(dir / "bands.png") == one) << view;
        // TGA bands come back as rows, PNG bands compressed.
        ASSERT_EQ(dir.run(args + "bands.tga --jobs 3").status, 0);
        EXPECT_TRUE(read_tga(dir / "bands.tga") == one) << view;
    }
    const long before = dir.files();
    const TempDir::Run run =
        dir.run(views[0] + " --jobs 2 --out killed.png", "env QUORVEL_RENDER_TEST_KILL=2");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("band 2"), std::string::npos) << run.err;
    EXPECT_EQ(dir.files(), before);
}

TEST(PictureView, PlaceFromAPictureRendersItAgain) {
    TempDir dir;
    std::string palette;
    for (int i = 0; i < 768; ++i) palette += char(i * 11 + 3);
    dir.write("my.pal", palette);
    const std::string x = "-0.743643887037158704752191506114774";
    const std::string y = "0.131825904205311970493132056385139";
    TempDir::Run run = dir.run("--centre " + x + " " + y +
                               " --radius 1e-30 --iterations 600 --size 40x30 --supersampling 2 "
                               "--gamma 2 --palette my.pal --jobs 1 --out first.png");
    ASSERT_EQ(run.status, 0) << run.err;
    // Enough digits: no warning; printed back the same in decimal.
    EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << run.err;
    EXPECT_NE(run.out.find("decimal     " + x + " " + y + "\n"), std::string::npos) << run.out;
    const auto view = quorvel::common::parse_view_text(
        png_text_chunk(dir / "first.png", quorvel::common::kViewChunkKeyword));
    ASSERT_TRUE(view);
    EXPECT_EQ(view->supersampling, 2);
    EXPECT_EQ(view->gamma, 2.0f);
    EXPECT_EQ(view->palette, "my.pal");
    EXPECT_EQ(view->iterations, 600u);

    run = dir.run("--place first.png --jobs 1 --out second.png");  // its size too
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(slurp(dir / "second.png") == slurp(dir / "first.png"));

    // Too few digits for the radius: said in one line, and still rendered.
    run = dir.run(
        "--centre -0.743643887037151 0.131825904205330 --radius 1e-30 --size 8x8 "
        "--out short.png");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("has 15 significant digits"), std::string::npos) << run.err;
}

// The widest frame number the pattern check accepts makes whole names.
TEST(ZoomMovie, WidestFrameNumbersMakeWholeNames) {
    TempDir dir;
    const TempDir::Run run = dir.run("--size 8x8 --zoom-frames 3 --jobs 1 --out %099d.png");
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> names;
    for (char k : {'0', '1', '2'}) names.push_back(std::string(98, '0') + k + ".png");
    EXPECT_EQ(dir.names(), names);
}

TEST(BadInput, MovieAndJobOptionsLeaveNothing) {
    TempDir dir;
    fs::create_directory(dir / "f");
    dir.write("plain.png", "not a picture");
    const struct {
        std::string args, named;
    } cases[] = {
        {"--jobs 0", "--jobs"},
        {"--jobs -2", "--jobs"},
        {"-j x", "-j"},
        {"--zoom-frames 0 --out f/%03d.png", "--zoom-frames"},
        {"--zoom-frames -5 --out f/%03d.png", "--zoom-frames"},
        {"--zoom-frames 6 --frames 4:2 --out f/%03d.png", "--frames"},
        {"--zoom-frames 6 --frames 0:6 --out f/%03d.png", "--frames"},
        {"--zoom-frames 6 --frames 3 --out f/%03d.png", "--frames"},
        {"--zoom-frames 6 --frames -1:2 --out f/%03d.png", "--frames"},
        {"--zoom-frames 6 --zoom-from 3 --out f/%03d.png", "--zoom-from"},
        {"--zoom-frames 6 --iterations-from 1 --out f/%03d.png", "--iterations-from"},
        {"--zoom-frames 6 --out f/frame.png", "--out"},
        {"--zoom-frames 6 --out f/%03d.tga --video v.mp4", "--video"},
        {"--frames 0:1", "--frames"},
        {"--zoom-frames 6 --out no/such/%03d.png", "--out"},
        {"--zoom-frames 6 --out /proc/%03d.png", "--out"},
        {"--zoom-frames 6 --out f/%03d.png --video no/such/v.mp4", "--video"},
        {"--place plain.png", "--place"},
    };
    const long before = dir.files();
    for (const auto& c : cases) {
        const TempDir::Run run = dir.run(c.args);
        EXPECT_EQ(run.status, 2) << c.args << run.err;
        EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << c.args << run.err;
        EXPECT_EQ(run.err.find("quorvel-render: " + c.named), 0u) << c.args << run.err;
        EXPECT_EQ(dir.files(), before) << c.args;
        EXPECT_TRUE(dir.names("f").empty()) << c.args;
    }
    if (geteuid() != 0) {  // root writes through any permission
        fs::permissions(dir / "f", fs::perms::owner_read | fs::perms::owner_exec);
        const TempDir::Run run = dir.run("--zoom-frames 6 --out f/%03d.png");
        EXPECT_EQ(run.status, 2) << run.err;
        fs::permissions(dir / "f", fs::perms::owner_all);
    }
}

}  // namespace
