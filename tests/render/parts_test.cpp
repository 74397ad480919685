// The renderer's exact coordinates, zoom plan, frame names, view text and PNG
// parts, checked against independent arithmetic (GMP rationals) and decoders.
#include <gmp.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "coordinates.h"
#include "movie.h"
#include "options.h"
#include "picture_file.h"
#include "render_helpers.h"
#include "view_text.h"

namespace {

using namespace quorvel::render;

// A decimal text as an exact rational.
void decimal_to_rational(const std::string& text, mpq_t out) {
    std::string digits;
    long exponent = 0, after_point = 0;
    bool point = false, negative = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '-') negative = true;
        if (c == '.') point = true;
        if (c >= '0' && c <= '9') {
            digits += c;
            after_point += point;
        }
        if (c == 'e' || c == 'E') {
            exponent = std::stol(text.substr(i + 1));
            break;
        }
    }
    mpz_t n, p;
    mpz_init_set_str(n, digits.c_str(), 10);
    mpz_init(p);
    const long shift = exponent - after_point;
    mpz_ui_pow_ui(p, 10, static_cast<unsigned long>(std::labs(shift)));
    mpq_set_z(out, n);
    if (shift >= 0) {
        mpz_mul(mpq_numref(out), mpq_numref(out), p);
    } else {
        mpz_set(mpq_denref(out), p);
    }
    mpq_canonicalize(out);
    if (negative) mpq_neg(out, out);
    mpz_clear(n);
    mpz_clear(p);
}

// Engine text ("+D.DDDx+E", the value 0xD.DDD * 2^(E-3)) as an exact rational;
// also the exponent of its top bit.
void engine_text_to_rational(const std::string& text, mpq_t out, long& top_bit) {
    const size_t x = text.find('x');
    std::string hex = text.substr(1, x - 1);
    const size_t point = hex.find('.');
    const long fraction_digits = static_cast<long>(hex.size() - point - 1);
    hex.erase(point, 1);
    const long e = std::stol(text.substr(x + 1));
    mpq_set_str(out, hex.c_str(), 16);
    const long shift = e - 3 - 4 * fraction_digits;
    if (shift >= 0) {
        mpq_mul_2exp(out, out, static_cast<unsigned long>(shift));
    } else {
        mpq_div_2exp(out, out, static_cast<unsigned long>(-shift));
    }
    if (text[0] == '-') mpq_neg(out, out);
    top_bit = e;
}

TEST(Coordinates, DecimalsRoundToTheNearest192BitValue) {
    const char* cases[] = {
        "-0.743643887037158704752191506114774",
        "0.131825904205311970493132056385139",
        "0.1",
        "-2",
        "1e-30",
        "1.5",
        "123.456789012345678901234567890123456789012345678901234567890123456789",
        // Halfway cases are rare in decimal; these sit just beside binary
        // fractions of 193 bits.
        "0.50000000000000000000000000000000000000000000000000000000001",
        "-0.0000000000000000000000000000000000000000000012345678901234567890123",
    };
    for (const char* decimal : cases) {
        const auto text = decimal_to_engine_text(decimal);
        ASSERT_TRUE(text) << decimal;
        mpq_t exact, got, diff, half_ulp;
        mpq_inits(exact, got, diff, half_ulp, nullptr);
        decimal_to_rational(decimal, exact);
        long top = 0;
        engine_text_to_rational(*text, got, top);
        mpq_sub(diff, got, exact);
        mpq_abs(diff, diff);
        // 192 significant bits: one unit in the last place is 2^(top - 191).
        mpq_set_ui(half_ulp, 1, 1);
        if (top - 192 >= 0) {
            mpq_mul_2exp(half_ulp, half_ulp, static_cast<unsigned long>(top - 192));
        } else {
            mpq_div_2exp(half_ulp, half_ulp, static_cast<unsigned long>(192 - top));
        }
        EXPECT_LE(mpq_cmp(diff, half_ulp), 0) << decimal << " -> " << *text;
        // Normalised: the first hexadecimal digit has its top bit set.
        EXPECT_GE(std::stoi(text->substr(1, 1), nullptr, 16), 8) << *text;
        mpq_clears(exact, got, diff, half_ulp, nullptr);
    }
    EXPECT_EQ(*decimal_to_engine_text("0"), "+0.0x+0");
    for (const char* bad :
         {"", "abc", "1.5x", "inf", "nan", "0x1p3", "1e999999", "1e-999999", "1 "})
        EXPECT_FALSE(decimal_to_engine_text(bad)) << bad;
}

TEST(Coordinates, PrintingAndOffsetsAreExact) {
    const std::string x = "-0.743643887037158704752191506114774";
    EXPECT_EQ(engine_text_to_decimal(*decimal_to_engine_text(x), 33), x);
    EXPECT_EQ(engine_text_to_decimal("+C.0x-1", 3), "0.750");
    // 600 pixels across 2e-30: a tenth of a pixel, 3.3e-34, needs 34 decimals.
    EXPECT_EQ(decimals_for_view(1e-30, 600), 34);
    const double offsets[] = {0.5, 0x1p-150};
    long top = 0;
    mpq_t got, want, part;
    mpq_inits(got, want, part, nullptr);
    engine_text_to_rational(add_to_engine_text("+C.0x-1", offsets, 2), got, top);
    mpq_set_ui(want, 5, 4);  // 0.75 + 0.5
    mpq_set_d(part, 0x1p-150);
    mpq_add(want, want, part);
    EXPECT_TRUE(mpq_equal(got, want));
    mpq_clears(got, want, part, nullptr);
}

TEST(Coordinates, DigitsTheRadiusNeeds) {
    const struct {
        const char* text;
        double radius;
        int given, needed;
    } cases[] = {
        {"-0.743643887037151", 1e-30, 15, 30},
        {"-0.743643887037158704752191506114774", 1e-30, 33, 30},
        {"-0.75", 0.05, 2, 2},
        {"0.10", 0.05, 2, 2},
        {"0.1", 0.05, 1, 2},
        {"1.5e-20", 1e-25, 2, 6},
        {"-0.5", 1.5, 1, 1},
        {"0", 1e-30, 0, 0},
        {"-0.000", 1e-30, 0, 0},
    };
    for (const auto& c : cases) {
        const DigitCount d = count_digits(c.text, c.radius);
        EXPECT_EQ(d.given, c.given) << c.text;
        EXPECT_EQ(d.needed, c.needed) << c.text;
    }
}

TEST(ZoomPlanTest, RadiiAreGeometricAndLimitsLinearInTheZoom) {
    const ZoomPlan plan(61, 2.0, 1e-10, 150, 5000);
    EXPECT_EQ(plan.frame(0).radius, std::nextafter(2.0, 0.0));  // 2 would recentre
    EXPECT_EQ(plan.frame(0).iterations, 150u);
    EXPECT_EQ(plan.frame(60).radius, 1e-10);
    EXPECT_EQ(plan.frame(60).iterations, 5000u);
    const double ratio = std::pow(1e-10 / 2.0, 1.0 / 60);
    for (int k = 1; k < 60; ++k) {
        EXPECT_NEAR(plan.frame(k).radius / plan.frame(k - 1).radius, ratio, 1e-12) << k;
        EXPECT_EQ(plan.frame(k).iterations,
                  static_cast<uint32_t>(std::llround(150 + 4850 * k / 60.0)))
            << k;
    }
    const ZoomPlan one(1, 1.0, 0.25, 100, 300);
    EXPECT_EQ(one.frame(0).radius, 0.25);
    EXPECT_EQ(one.frame(0).iterations, 300u);
    EXPECT_EQ(ZoomPlan(3, 1.0, 0.25, 100, 300).frame(1).radius, 0.5);
}

TEST(FrameNames, PatternsNeedOneNumber) {
    EXPECT_EQ(frame_path("frames/%05d.png", 42), "frames/00042.png");
    EXPECT_EQ(frame_path("100%%-%d.png", 7), "100%-7.png");
    // The widest number the check accepts, whole, with what follows it.
    EXPECT_EQ(frame_path("f/%099d.png", 3), "f/" + std::string(98, '0') + "3.png");
    EXPECT_EQ(frame_path("%99d-%%.tga", 12345), std::string(94, ' ') + "12345-%.tga");
    EXPECT_EQ(frame_path("%3d.png", 12345), "12345.png");
    for (const char* good : {"%d.png", "f/%05d.png", "%3d.tga", "a%%b%d.png"})
        EXPECT_TRUE(is_frame_pattern(good)) << good;
    for (const char* bad :
         {"x.png", "%s.png", "%d%d.png", "%-5d.png", "%05.png", "%123d.png", "%%d.png", "%ld.png"})
        EXPECT_FALSE(is_frame_pattern(bad)) << bad;
}

TEST(ViewTextTest, RoundTripsAndRejectsDamage) {
    quorvel::common::ViewText view;
    view.centre_x = "-B.E5F721EB1E3C8x-1";
    view.centre_y = "+8.6FD5EAD4F61B9x-3";
    view.radius = 1.0 / 3.0;
    view.iterations = 4000000000u;
    view.supersampling = 4;
    view.gamma = 1.875f;
    view.palette = "/tmp/a palette.pal";
    const std::string text = quorvel::common::format_view_text(view);
    const auto back = quorvel::common::parse_view_text(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->centre_x, view.centre_x);
    EXPECT_EQ(back->centre_y, view.centre_y);
    EXPECT_EQ(back->radius, view.radius);
    EXPECT_EQ(back->iterations, view.iterations);
    EXPECT_EQ(back->supersampling, 4);
    EXPECT_EQ(back->gamma, 1.875f);
    EXPECT_EQ(back->palette, view.palette);
    // A radius of 0 is refused as the engine refuses it (a deeper view's exact
    // radius is in a line of its own).
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"radius", "zz"},
                                     {"radius", "0"},
                                     {"iterations", "zz"},
                                     {"centre-x", "zz"}}) {
        std::string damaged = text;
        const size_t at = damaged.find(key + " ");
        damaged.replace(at, damaged.find('\n', at) - at, key + " " + value);
        EXPECT_FALSE(quorvel::common::parse_view_text(damaged)) << key << " " << value;
    }
    // A radius line no double carries (the whole set, or deeper than doubles
    // reach) is written back as the text it was.
    for (const char* radius : {"5.0001", "1e-400"}) {
        std::string other = text;
        const size_t at = other.find("radius ");
        other.replace(at, other.find('\n', at) - at, std::string("radius ") + radius);
        const auto read = quorvel::common::parse_view_text(other);
        ASSERT_TRUE(read) << radius;
        const std::string again = quorvel::common::format_view_text(*read);
        ASSERT_TRUE(quorvel::common::parse_view_text(again)) << again;
        EXPECT_EQ(quorvel::common::parse_view_text(again)->radius_text, radius);
    }
}

// A picture's view text and the command line take a value by the same rules:
// a view the renderer writes into a picture is one it takes back, and the
// reverse.
TEST(ViewTextTest, TheCommandLineAndTheViewTextTakeTheSameValues) {
    const std::string base =
        "centre-x +8.0x-1\ncentre-y -C.0x-2\nradius 0.5\niterations 300\nsupersampling 2\n"
        "gamma 1.5\n";
    struct Field {
        const char* key;
        const char* option;
        std::vector<std::string> values;
    };
    const Field fields[] = {
        {"centre-x",
         "--centre",
         {"+8.0x+16", "+8.0x+17", "-8x-1000", "8.x-1001", "+8.0.0x+0", "+.x+0", "8.0X+0", "+8.0x",
          "+8.0x+1 ", "+8.0x++1", "+8.0x+-1", "+G.0x+0", "+8.0x+99999999999"}},
        {"radius",
         "--radius",
         {"0.25", "2", "2.0000001", "1e-300", "1e-310", "0", "-0.5", "inf", "nan", "0x1p-3", " 0.5",
          "0.5 ", "+0.5", "1e", ".5", "5e-1"}},
        {"iterations",
         "--iterations",
         {"2", "1", "4294967295", "4294967296", "+5", "-5", " 5", "5 ", "5.0", "0x10", "010"}},
        {"supersampling", "--supersampling", {"1", "8", "0", "9", "+2", "2.0", " 2"}},
        {"gamma", "--gamma", {"0.5", "100", "100.5", "0", "-1", "inf", "1,5", " 2", "0x1p1"}},
    };
    for (const Field& field : fields) {
        for (const std::string& value : field.values) {
            std::string text = base;
            const size_t at = text.find(std::string(field.key) + " ");
            text.replace(at, text.find('\n', at) - at, std::string(field.key) + " " + value);
            const auto view = quorvel::common::parse_view_text(text);
            // Supersampling and gamma are optional: a bad one reads as not known.
            bool in_text = view.has_value();
            if (field.key == std::string("supersampling")) in_text = view && view->supersampling;
            if (field.key == std::string("gamma")) in_text = view && view->gamma > 0.0f;
            std::vector<const char*> argv = {"quorvel-render", field.option, value.c_str()};
            if (field.option == std::string("--centre")) argv.push_back("0");
            const bool on_command_line = parse_options(int(argv.size()), argv.data()).error.empty();
            EXPECT_EQ(in_text, on_command_line) << field.key << " '" << value << "'";
        }
    }
}

// The shared writer puts the view into PNG pictures only, where libpng itself
// finds it again.
TEST(ViewTextTest, TheSharedWriterCarriesItInPngPictures) {
    render_test::TempDir dir;
    const uint8_t rgb[2 * 2 * 3] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::string text = "centre-x +8.0x+0\ncentre-y +8.0x-1\nradius 0.5\niterations 99\n";
    std::string error;
    using quorvel::common::PictureFormat;
    ASSERT_TRUE(
        quorvel::common::save_picture(dir / "v.png", PictureFormat::png, {rgb, 2, 2}, error, text))
        << error;
    EXPECT_EQ(render_test::png_text_chunk(dir / "v.png", quorvel::common::kViewChunkKeyword), text);
    EXPECT_EQ(render_test::read_png(dir / "v.png").rgb, std::vector<uint8_t>(rgb, rgb + 12));
    ASSERT_TRUE(
        quorvel::common::save_picture(dir / "v.tga", PictureFormat::tga, {rgb, 2, 2}, error, text));
    EXPECT_EQ(render_test::slurp(dir / "v.tga").size(), 18u + 12u);
}

// The pixel data of a PNG, inflated by zlib alone from its IDAT chunks:
// zlib checks the stream's end and its Adler-32. Empty when it fails.
std::vector<uint8_t> inflated_idat(const std::string& path, size_t size) {
    const std::string bytes = render_test::slurp(path);
    std::string stream;
    for (size_t at = 8; at + 12 <= bytes.size();) {
        const auto* b = reinterpret_cast<const uint8_t*>(bytes.data() + at);
        const size_t length = size_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
        if (bytes.compare(at + 4, 4, "IDAT") == 0) stream += bytes.substr(at + 8, length);
        at += 12 + length;
    }
    std::vector<uint8_t> out(size + 1);
    uLongf out_size = out.size();
    const bool ok = uncompress(out.data(), &out_size, reinterpret_cast<const Bytef*>(stream.data()),
                               stream.size()) == Z_OK;
    out.resize(ok ? out_size : 0);
    return out;
}

// Rows compressed in parts, apart, join into one PNG that libpng reads back
// and whose stream zlib checks; parts that miss rows write nothing.
TEST(PngParts, JoinedPartsMakeOnePicture) {
    using namespace quorvel::common;
    render_test::TempDir dir;
    constexpr int kWidth = 37, kHeight = 23;
    // Noise above, which does not compress, and a flat colour below.
    std::vector<uint8_t> rgb(kWidth * kHeight * 3, 77);
    uint32_t seed = 5;
    for (size_t i = 0; i < rgb.size() / 2; ++i)
        rgb[i] = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    std::vector<uint8_t> filtered;  // each row after its filter byte, 0
    for (int y = 0; y < kHeight; ++y) {
        filtered.push_back(0);
        filtered.insert(filtered.end(), rgb.begin() + y * kWidth * 3,
                        rgb.begin() + (y + 1) * kWidth * 3);
    }
    const std::string text = "centre-x +8.0x+0\n";
    const std::string path = dir / "p.png";
    std::string error;
    for (const std::vector<int>& heights :
         {std::vector<int>{kHeight}, {1, 0, 9, 13}, {5, 5, 5, 5, 3}}) {
        std::vector<std::vector<uint8_t>> bytes;
        std::vector<PngPart> parts(heights.size());
        for (size_t i = 0, first = 0; i < heights.size(); first += heights[i++]) {
            bytes.push_back(compress_png_part(rgb.data() + first * kWidth * 3, kWidth, heights[i],
                                              i + 1 == heights.size(), parts[i]));
            EXPECT_LE(bytes.back().size(), png_part_bound(kWidth, heights[i]));
        }
        for (size_t i = 0; i < parts.size(); ++i) {
            parts[i].data = bytes[i].data();
            parts[i].size = bytes[i].size();
        }
        AtomicFile file;
        ASSERT_TRUE(file.open(path, error)) << error;
        ASSERT_TRUE(write_png_parts(file, kWidth, kHeight, parts, error, text)) << error;
        EXPECT_EQ(render_test::read_png(path).rgb, rgb) << heights.size();
        EXPECT_EQ(render_test::png_text_chunk(path, kViewChunkKeyword), text);
        EXPECT_EQ(inflated_idat(path, filtered.size()), filtered) << heights.size();

        parts.pop_back();
        AtomicFile again;
        ASSERT_TRUE(again.open(path, error));
        error.clear();
        EXPECT_FALSE(write_png_parts(again, kWidth, kHeight, parts, error, text));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(render_test::read_png(path).rgb, rgb);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.str()),
                                std::filesystem::directory_iterator()),
                  1);
    }
}

}  // namespace
