// quorvel-render beyond 192-bit coordinates: exact texts of any length and
// depth on the command line, in the printed summary and in a picture's view
// chunk; deep zoom movies and bands; the exact-text helpers they rest on.
#include <gtest/gtest.h>
#include <quorvel.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "coordinates.h"
#include "exact_text.h"
#include "movie.h"
#include "options.h"
#include "render_helpers.h"
#include "view_text.h"

namespace {

using namespace render_test;
namespace common = quorvel::common;

struct Exact {
    std::string x, y, radius;
};

// What the engine makes of these texts, through its own exports.
Exact engine_view_of(const std::string& x, const std::string& y, const std::string& radius) {
    qv_handle h = qv_create_context(16);
    EXPECT_EQ(qv_set_view_from_strings(h, x.c_str(), y.c_str(), radius.c_str()), 1);
    const size_t size = qv_get_view_strings(h, nullptr, nullptr, nullptr, 0);
    std::string t[3] = {std::string(size, '\0'), std::string(size, '\0'), std::string(size, '\0')};
    qv_get_view_strings(h, t[0].data(), t[1].data(), t[2].data(), size);
    qv_delete_context(&h);
    for (std::string& s : t) s.resize(s.find('\0'));
    return {t[0], t[1], t[2]};
}

size_t distinct_bytes(const Image& image) {
    return std::set<uint8_t>(image.rgb.begin(), image.rgb.end()).size();
}

std::optional<common::ViewText> chunk_of(const TempDir& dir, const std::string& name) {
    return common::parse_view_text(png_text_chunk(dir / name, common::kViewChunkKeyword));
}

TEST(DeepRender, BesideIAt1e1000TheChunkCarriesTheExactViewBack) {
    TempDir dir;
    TempDir::Run run = dir.run(
        "--centre 0 1 --radius 1e-1000 --iterations 6000 --size 48x32 --jobs 1 --out deep.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_GT(distinct_bytes(read_png(dir / "deep.png")), 20u);
    const Exact exact = engine_view_of("0", "1", "1e-1000");
    EXPECT_NE(run.out.find("centre y    " + exact.y + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("radius      1e-1000\nradius hex  " + exact.radius + "\n"),
              std::string::npos)
        << run.out;

    const std::string text = png_text_chunk(dir / "deep.png", common::kViewChunkKeyword);
    const auto view = common::parse_view_text(text);
    ASSERT_TRUE(view) << text;
    EXPECT_EQ(view->exact_x, exact.x);
    EXPECT_EQ(view->exact_y, exact.y);
    EXPECT_EQ(view->radius_text, exact.radius);
    EXPECT_EQ(view->iterations, 6000u);
    // Without the exact lines, as an older reader sees it: refused, never a
    // wrong view.
    EXPECT_FALSE(common::parse_view_text(text.substr(0, text.find("exact-centre-x"))));
    for (const char* key : {"exact-centre-x", "exact-radius"}) {
        std::string damaged = text;
        const size_t at = damaged.find(key);
        damaged.erase(at, damaged.find('\n', at) - at + 1);
        EXPECT_FALSE(common::parse_view_text(damaged)) << key;
    }

    run = dir.run("--place deep.png --jobs 1 --out again.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(slurp(dir / "again.png") == slurp(dir / "deep.png"));
}

TEST(DeepRender, EveryDigitOfALongDecimalCentreCounts) {
    const std::string x =
        "-1.76861049301467707450317565327022653536557636734702573814084463498761126230851683875891"
        "423749301673112078912345678901234";
    const std::string y =
        "0.0000000000000000000000000000000000000000000000000000000000000000000"
        "0000000000000000000000000000000000000000000000000001";
    ASSERT_EQ(x.size(), 3 + 119u);  // 120 significant digits
    TempDir dir;
    const TempDir::Run run =
        dir.run("--centre " + x + " " + y + " --radius 1e-100 --size 16x12 --jobs 1 --out d.png");
    ASSERT_EQ(run.status, 0) << run.err;
    const Exact exact = engine_view_of(x, y, "1e-100");
    EXPECT_NE(run.out.find("centre x    " + exact.x + "\ncentre y    " + exact.y + "\n"),
              std::string::npos)
        << run.out;
    // Far more bits than 192; every digit is enough for the radius: no warning.
    EXPECT_GT(exact.x.size(), 80u);
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
    // Decimals to a thousandth of a pixel: 2e-100 / 16 / 1000 needs 104.
    const size_t at = run.out.find("decimal     ") + 12;
    EXPECT_EQ(run.out.find(' ', at) - at, 3 + 104u) << run.out;
    EXPECT_EQ(run.out.substr(at, 3 + 100), x.substr(0, 3 + 100)) << run.out;
}

TEST(DeepRender, AMovieFrom2To1e400HasGeometricRadii) {
    TempDir dir;
    const TempDir::Run run = dir.run(
        "--centre 0 1 --radius 1e-400 --iterations 3000 --size 16x12 --zoom-frames 4 --jobs 2 "
        "--out f%d.png");
    ASSERT_EQ(run.status, 0) << run.err;
    const long double step = (-400.0L - std::log10(2.0L)) / 3;
    for (int k = 0; k < 4; ++k) {
        const auto view = chunk_of(dir, "f" + std::to_string(k) + ".png");
        ASSERT_TRUE(view) << k;
        EXPECT_EQ(view->iterations, static_cast<uint32_t>(std::llround(150 + 2850 * k / 3.0)));
        if (k == 0) {
            EXPECT_EQ(view->radius, std::nextafter(2.0, 0.0));
            continue;
        }
        // 1e-133 and 1e-267 are doubles: the usual lines carry them exactly.
        EXPECT_EQ(view->exact_y, k < 3 ? "" : "+8.0x+0");
        const auto log10 = view->radius_text.empty()
                               ? std::optional(std::log10(static_cast<long double>(view->radius)))
                               : common::log10_of_text(view->radius_text);
        ASSERT_TRUE(log10) << view->radius_text;
        EXPECT_NEAR(static_cast<double>(*log10 - (std::log10(2.0L) + step * k)), 0.0, 1e-12) << k;
    }
    EXPECT_EQ(chunk_of(dir, "f3.png")->radius_text, engine_view_of("0", "1", "1e-400").radius);
}

TEST(DeepRender, BandsAt1e300EqualOneProcess) {
    TempDir dir;
    const std::string args =
        "--centre 0 1 --radius 1e-300 --iterations 3000 --size 32x32 --generator brute --out ";
    ASSERT_EQ(dir.run(args + "one.png --jobs 1").status, 0);
    const TempDir::Run run = dir.run(args + "bands.png --jobs 2");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("8 bands)"), std::string::npos) << run.out;
    const Image one = read_png(dir / "one.png");
    EXPECT_GT(distinct_bytes(one), 10u);
    EXPECT_TRUE(read_png(dir / "bands.png") == one);
}

TEST(DeepOptions, AnyLengthAndExponentWithinTheEnginesRange) {
    auto accepted = [](std::vector<const char*> args) {
        args.insert(args.begin(), "quorvel-render");
        return quorvel::render::parse_options(int(args.size()), args.data()).error.empty();
    };
    for (const char* radius : {"2e-1086", "+8.0x-4000", "1e-315000", "5", "0.5e-99999"})
        EXPECT_TRUE(accepted({"--radius", radius})) << radius;
    for (const char* radius : {"0", "-1e-5", "1e-316000", "1e", "0x1p-3", "+0.0x+0", "1e400"})
        EXPECT_FALSE(accepted({"--radius", radius})) << radius;
    for (const char* centre : {"1e-3000", "+C.8x-20000", "-9999.5", "0.000"})
        EXPECT_TRUE(accepted({"--centre", centre, "0"})) << centre;
    for (const char* centre : {"1e5", "+8.0x+17", "1.2.3", "1e"})
        EXPECT_FALSE(accepted({"--centre", centre, "0"})) << centre;
    EXPECT_FALSE(accepted({"--zoom-frames", "3", "--zoom-from", "3", "--out", "%d.png"}));
    EXPECT_TRUE(accepted({"--zoom-frames", "3", "--zoom-from", "1e-20", "--out", "%d.png"}));
}

TEST(ExactText, LogarithmsOfTextsOfAnyExponent) {
    const struct {
        const char* text;
        long double log10;
    } cases[] = {
        {"2e-1086", std::log10(2.0L) - 1086},
        {"-0.000123", std::log10(1.23L) - 4},
        {"123456789012345678901234567890", std::log10(1.23456789012345678901234567890L) + 29},
        {"000.00100e+3", 0.0L},
        {"+8.0x+1", std::log10(2.0L)},
        {"+8.0x-3320", -3320 * std::log10(2.0L)},
    };
    for (const auto& c : cases) {
        const auto log10 = common::log10_of_text(c.text);
        ASSERT_TRUE(log10) << c.text;
        EXPECT_NEAR(static_cast<double>(*log10 - c.log10), 0.0, 1e-12) << c.text;
    }
    for (const char* bad : {"0", "0.0e5", "+0.0x+3", "e5", "1e", "1x", ""})
        EXPECT_FALSE(common::log10_of_text(bad)) << bad;
    // Printed and read back: the same power of ten.
    for (long double log10 : {-1234.5678L, -0.25L, -5000000.125L}) {
        const auto back = common::log10_of_text(common::decimal_of_log10(log10));
        ASSERT_TRUE(back);
        EXPECT_NEAR(static_cast<double>(*back - log10), 0.0, 1e-9 * (1 - log10));
    }
}

TEST(ExactText, OffsetsAddExactlyAtAnyDepth) {
    using quorvel::render::add_scaled_exactly;
    // 1 + 2^-1000: the top bit of the 250th hexadecimal digit after the point.
    const double one[] = {1.0};
    EXPECT_EQ(add_scaled_exactly("+8.0x+0", one, 1, -1000), "+8." + std::string(249, '0') + "8x+0");
    // Offsets that cancel leave the text as it was; one that cancels the value gives zero.
    const double cancel[] = {0.75, -0.5, -0.25};
    EXPECT_EQ(add_scaled_exactly("-B.E5F7x-3000", cancel, 3, -4000), "-B.E5F7x-3000");
    const double whole[] = {-1.0};
    EXPECT_EQ(add_scaled_exactly("+8.0x-5000", whole, 1, -5000), "+0.0x+0");
    EXPECT_EQ(add_scaled_exactly("junk", one, 1, 0), "");

    double mantissa = 0;
    long exponent = 0;
    ASSERT_TRUE(quorvel::render::split_hex_text("+C.8x-3320", mantissa, exponent));
    EXPECT_EQ(mantissa, 1.5625);
    EXPECT_EQ(exponent, -3320);
    EXPECT_EQ(quorvel::render::scaled_hex_text(mantissa, exponent), "+C.8x-3320");
    EXPECT_FALSE(quorvel::render::split_hex_text("-C.8x-3320", mantissa, exponent));
}

TEST(ZoomPlanTest, BeyondDoublesRadiiAreTextsInPowersOfTen) {
    const quorvel::render::ZoomPlan plan(5, "1e-10", "+8.0x-5000", 100, 900);
    const long double to = -5000 * std::log10(2.0L);
    EXPECT_EQ(plan.frame(0).radius_text, "1e-10");
    EXPECT_EQ(plan.frame(0).radius, 1e-10);
    EXPECT_EQ(plan.frame(4).radius_text, "+8.0x-5000");
    EXPECT_EQ(plan.frame(4).iterations, 900u);
    for (int k = 1; k < 4; ++k) {
        const auto log10 = common::log10_of_text(plan.frame(k).radius_text);
        ASSERT_TRUE(log10);
        EXPECT_NEAR(static_cast<double>(*log10 - (-10 + (to + 10) * k / 4)), 0.0, 1e-12) << k;
        EXPECT_EQ(plan.frame(k).iterations, 100u + 200u * k);
    }
    // Between normal doubles, the doubles' plan.
    const quorvel::render::ZoomPlan shallow(3, "1", "0.25", 100, 300);
    EXPECT_EQ(shallow.frame(1).radius, 0.5);
    EXPECT_TRUE(shallow.frame(1).radius_text.empty());
}

}  // namespace
