// Full counts, the colour mapping and smooth colouring, through the public
// header only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "public_test_util.h"

using namespace qvtest;

namespace {

struct Counts {
    std::vector<uint32_t> n;
    std::vector<float> s;
};

Counts read_counts(qv_handle h) {
    const size_t size = qv_get_pixel_counts(h, nullptr, nullptr, 0);
    Counts c{std::vector<uint32_t>(size), std::vector<float>(size)};
    EXPECT_EQ(qv_get_pixel_counts(h, c.n.data(), c.s.data(), size), size);
    return c;
}

// The pixels below the limit: how many, how many have a fraction (s != n),
// and how many have s outside [n, n + 1).
struct Escaped {
    size_t escaped = 0, fractional = 0, outside = 0;
};

Escaped escaped_values(const Counts& c, uint32_t limit) {
    Escaped e;
    for (size_t i = 0; i < c.n.size(); ++i) {
        if (c.n[i] == limit) continue;
        ++e.escaped;
        e.fractional += c.s[i] != float(c.n[i]);
        e.outside += !(c.s[i] >= float(c.n[i]) && c.s[i] < float(c.n[i]) + 1.0f);
    }
    return e;
}

std::vector<uint8_t> picture(qv_handle h) {
    const unsigned char* rgb = qv_get_rgb_image(h);
    return std::vector<uint8_t>(rgb,
                                rgb + size_t(qv_get_image_width(h)) * qv_get_image_height(h) * 3);
}

}  // namespace

TEST(Colour, MappingIsCheckedAndThePhaseWrapped) {
    ContextGuard h;
    double density = 0.0, phase = 0.0;
    int smooth = 1;
    for (double bad : {0.0, -1.0, double(NAN), double(INFINITY)})
        EXPECT_EQ(qv_set_colour_mapping(h, bad, 0.0, 0), 0) << bad;
    EXPECT_EQ(qv_set_colour_mapping(h, 2.0, NAN, 0), 0);
    qv_get_colour_mapping(h, &density, &phase, &smooth);
    EXPECT_TRUE(density == 1.0 && phase == 0.0 && smooth == 0);
    EXPECT_EQ(qv_set_colour_mapping(h, 0.5, -10.5, 0), 1);
    qv_get_colour_mapping(h, &density, nullptr, nullptr);
    qv_get_colour_mapping(h, nullptr, &phase, &smooth);
    EXPECT_TRUE(density == 0.5 && phase == 245.5 && smooth == 0);
    // Too small a buffer: the size only.
    std::vector<uint32_t> one(1, 7);
    EXPECT_EQ(qv_get_pixel_counts(h, one.data(), nullptr, 1), 10000u);
    EXPECT_EQ(one[0], 7u);
}

// The counts of every strategy: iterated pixels have the escape count,
// filled ones a count with their value byte; each picture at the default
// mapping is the value-byte picture, and another density recolours it from
// the counts without any refinement.
TEST(Colour, CountsAndDensityAtEveryStrategy) {
    const int side = 96;
    const double cx = -0.7436, cy = 0.1318, radius = 0.004;
    const uint32_t limit = 1200;
    for (int generator : {0, 1, 2}) {
        ContextGuard h;
        qv_set_view_params_from_doubles(h, cx, cy, radius);
        qv_adjust_maximum_iterations(h, float(limit) / 150.0f);
        ASSERT_EQ(qv_get_maximum_iterations(h), limit);
        const auto values = render(h, side, cx, cy, radius, generator);
        const Counts c = read_counts(h);
        size_t differ = 0, high = 0;
        for (int i = 0; i < side * side; ++i) {
            const double x = cx - radius + i % side * 2 * radius / side;
            const double y = cy + radius - i / side * 2 * radius / side;
            const uint32_t n = c.n[i];
            ASSERT_EQ(values[i], n == limit ? 0 : (n - 1) % 255 + 1) << generator << " " << i;
            ASSERT_EQ(c.s[i], float(n));  // no fractions with smooth off
            differ += n != reference_escape(x, y, limit);
            high += n > 255 && n < limit;
        }
        EXPECT_GT(high, 1000u);
        if (generator == 2) {
            EXPECT_LT(differ, size_t(side) * side / 100);  // edge rounding only
        }

        // Density 4, phase 10: the red channel is the mapped index.
        ASSERT_EQ(qv_set_colour_mapping(h, 4.0, 10.0, 0), 1);
        EXPECT_FALSE(qv_refine_image(h));
        const auto mapped = read_values(h);
        for (int i = 0; i < side * side; ++i) {
            const uint32_t n = c.n[i];
            const int want =
                n == limit ? 0 : int(uint64_t(std::floor((n - 1) / 4.0 + 10.0)) % 255 + 1);
            ASSERT_EQ(mapped[i], want) << i;
        }
        ASSERT_EQ(qv_set_colour_mapping(h, 1.0, 0.0, 0), 1);
        EXPECT_EQ(read_values(h), values);
    }
}

// Smooth colouring: every escaped pixel gets s in [n, n + 1) from its own
// orbit, whichever strategy found n; neighbours differ little where their
// counts differ by one; and pictures blend the two palette entries.
TEST(Colour, SmoothFractionsHaveNoFlatPatches) {
    const int side = 80;
    const double cx = -0.75, cy = 0.1, radius = 0.05;
    Counts brute;
    for (int generator : {2, 0, 1}) {
        ContextGuard h;
        ASSERT_EQ(qv_set_colour_mapping(h, 1.0, 0.0, 1), 1);
        render(h, side, cx, cy, radius, generator);
        EXPECT_FALSE(qv_refine_image(h));
        const Counts c = read_counts(h);
        const Escaped e = escaped_values(c, 150);
        EXPECT_EQ(e.outside, 0u);
        // Those with |z_n| past 4 have s = n.
        EXPECT_GT(e.fractional, e.escaped * 9 / 10);
        if (generator == 2) {
            brute = c;
        } else {
            // Filled areas were iterated afterwards: brute force's picture.
            for (int i = 0; i < side * side; ++i)
                ASSERT_TRUE(c.n[i] == brute.n[i] && c.s[i] == brute.s[i])
                    << generator << " at " << i << ": " << c.n[i] << " " << c.s[i] << " against "
                    << brute.n[i] << " " << brute.s[i];
        }
    }
}

// Deep views alike, beside c = i at double and extended offsets and on the
// 192-bit kernel: every escaped pixel has a fraction of its own, and the
// fills of contour tracing and box matching are iterated afterwards into
// brute force's counts and s.
TEST(Colour, SmoothDeepViewsHaveFractionsAtEveryStrategy) {
    const int side = 48;
    for (const char* radius : {"1e-20", "1e-60", "1e-150"}) {
        Counts brute;
        for (int generator : {2, 0, 1}) {
            ContextGuard h;
            ASSERT_EQ(qv_set_colour_mapping(h, 1.0, 0.0, 1), 1);
            qv_set_image_properties(h, side, side, 1, 1.75f);
            qv_set_view_from_strings(h, "1e-300", "1", radius);
            qv_adjust_maximum_iterations(h, 6000.0f / 150.0f);
            qv_set_generator_type(h, generator);
            refine_to_end(h);
            const Counts c = read_counts(h);
            const Escaped e = escaped_values(c, 6000);
            EXPECT_EQ(e.outside, 0u) << radius;
            EXPECT_GT(e.escaped, size_t(side) * side / 2) << radius;
            EXPECT_GT(e.fractional, e.escaped * 9 / 10) << radius;
            if (generator == 2) {
                brute = c;
            } else {
                EXPECT_EQ(c.n, brute.n) << radius << " " << generator;
                EXPECT_EQ(c.s, brute.s) << radius << " " << generator;
            }
        }
    }
}

// Across a boundary between counts s changes no more than between
// neighbours of one count: no steps at the boundaries.
TEST(Colour, SmoothValuesJoinUpAcrossCounts) {
    ContextGuard h;
    const int side = 120;
    ASSERT_EQ(qv_set_colour_mapping(h, 1.0, 0.0, 1), 1);
    render(h, side, 0.3, 0.6, 0.001, 2);
    const Counts c = read_counts(h);
    double across = 0.0, within = 0.0;
    size_t crossings = 0, pairs = 0;
    for (int i = 0; i + 1 < side * side; ++i) {
        if ((i + 1) % side == 0) continue;
        const double change = std::fabs(double(c.s[i + 1]) - c.s[i]);
        if (c.n[i + 1] == c.n[i]) {
            within += change;
            ++pairs;
        } else {
            ASSERT_EQ(std::abs(int(c.n[i + 1]) - int(c.n[i])), 1);
            across += change;
            ++crossings;
        }
    }
    ASSERT_GT(crossings, 50u);
    std::printf("s changes by %.5f across counts, %.5f within\n", across / crossings,
                within / pairs);
    EXPECT_LT(across / crossings, 2.0 * within / pairs);
}

TEST(Colour, SmoothPicturesBlendNeighbouringEntries) {
    ContextGuard h;
    unsigned char rgb[768] = {};
    for (int i = 0; i < 256; ++i) rgb[3 * i + 1] = static_cast<unsigned char>(i);
    qv_set_palette(h, rgb);
    qv_set_image_properties(h, 40, 30, 1, 1.75f);
    qv_set_view_params_from_doubles(h, -0.75, 0.1, 0.05);
    const std::vector<uint8_t> plain = picture(h);  // nothing computed yet
    ASSERT_EQ(qv_set_colour_mapping(h, 2.0, 3.0, 1), 1);
    refine_to_end(h);
    const Counts c = read_counts(h);
    const auto smooth = picture(h);
    for (size_t i = 0; i < c.n.size(); ++i) {
        if (c.n[i] == 150) {
            ASSERT_EQ(smooth[3 * i + 1], 0);
            continue;
        }
        const double t = (double(c.s[i]) - 1.0) / 2.0 + 3.0;
        const int k = int(uint64_t(std::floor(t)) % 255 + 1), k2 = k % 255 + 1;
        const double u = t - std::floor(t);
        // The palette's green channel is the index.
        ASSERT_NEAR(smooth[3 * i + 1], k * (1 - u) + k2 * u, 0.51 + 1e-3) << i;
    }
    EXPECT_NE(plain, smooth);
}

namespace {

uint32_t le32(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
           uint32_t(uint8_t(b[at + 2])) << 16 | uint32_t(uint8_t(b[at + 3])) << 24;
}

void put_le32(std::string& out, uint32_t v) {
    for (int k = 0; k < 4; ++k) out += char(uint8_t(v >> (8 * k)));
}

// The file with every storage section of 16-bit fractions (v003) rewritten
// in the earlier form, one f32 code a pixel (v002).
std::string with_f32_fractions(const std::string& file) {
    const std::string tag = "MaskedImage\nv003\n";
    std::string out;
    size_t at = 0;
    for (size_t found; (found = file.find(tag, at)) != std::string::npos;) {
        out += file.substr(at, found - at) + "MaskedImage\nv002\n";
        size_t p = found + tag.size();
        const uint32_t values = le32(file, p + 8), mask = le32(file, p + 12);
        p += 16 + mask + values;
        const uint32_t counts = le32(file, p), fractions = le32(file, p + 4);
        out += file.substr(found + tag.size(), p - found - tag.size());
        put_le32(out, counts);
        put_le32(out, fractions * 2);
        out += file.substr(p + 8, counts);
        for (size_t i = 0; i < fractions / 2; ++i) {
            const size_t q = p + 8 + counts + 2 * i;
            const uint32_t bits = uint32_t(uint8_t(file[q])) | uint32_t(uint8_t(file[q + 1])) << 8;
            const float code = bits == 0 ? 0.0f : float(1.0 + (bits - 1) / 65535.0);
            uint32_t u;
            std::memcpy(&u, &code, 4);
            put_le32(out, u);
        }
        at = p + 8 + counts + fractions;
    }
    return out + file.substr(at);
}

}  // namespace

// Fractions pack into 16 bits without loss: a full save holds two bytes a
// pixel for them, and files of the earlier form with an f32 a pixel load to
// the same counts and s.
TEST(Colour, FractionsPackIntoSixteenBits) {
    qvtest::TempDir dir("qvf", qvtest::TempDir::Where::memory);
    ContextGuard h;
    ASSERT_EQ(qv_set_colour_mapping(h, 2.0, 0.0, 1), 1);
    render(h, 64, -0.7436, 0.1318, 0.004, 2);
    const Counts before = read_counts(h);
    ASSERT_TRUE(qv_save_all(h, (dir / "new.qvh").c_str()));
    const Counts after_packing = read_counts(h);  // the save packed the view
    EXPECT_EQ(after_packing.s, before.s);
    std::ifstream in(dir / "new.qvh", std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string old = with_f32_fractions(file);
    EXPECT_EQ(old.size(), file.size() + 2 * 64 * 64);
    dir.write("old.qvh", old);
    for (const char* name : {"new.qvh", "old.qvh"}) {
        ContextGuard loaded;
        ASSERT_TRUE(qv_load(loaded, (dir / name).c_str())) << name;
        EXPECT_FALSE(qv_refine_image(loaded));
        const Counts c = read_counts(loaded);
        EXPECT_EQ(c.n, before.n) << name;
        EXPECT_EQ(c.s, before.s) << name;
    }
}

// A history saved with another mapping keeps it, and a full save keeps the
// counts and fractions: loading shows the same picture without computing.
// Old files, and files saved with the plain mapping, load with the plain
// mapping; asked for another one, their views are computed again for counts.
TEST(Colour, HistoryFilesKeepTheMappingAndTheCounts) {
    qvtest::TempDir dir("qvc", qvtest::TempDir::Where::memory);
    const std::string mapped = dir / "mapped.qvh", plain = dir / "plain.qvh",
                      minimum = dir / "minimum.qvh";
    ContextGuard h;
    qv_set_view_params_from_doubles(h, -0.7436, 0.1318, 0.004);
    qv_adjust_maximum_iterations(h, 8.0f);
    render(h, 64, -0.7436, 0.1318, 0.004, 0);
    ASSERT_TRUE(qv_save_all(h, plain.c_str()));
    ASSERT_EQ(qv_set_colour_mapping(h, 3.5, 17.25, 1), 1);
    refine_to_end(h);  // fractions for the filled pixels
    const auto picture_before = picture(h);
    const Counts counts_before = read_counts(h);
    ASSERT_TRUE(qv_save_all(h, mapped.c_str()) && qv_save_minimum(h, minimum.c_str()));

    ContextGuard loaded;
    ASSERT_TRUE(qv_load(loaded, mapped.c_str()));
    double density = 0, phase = 0;
    int smooth = 0;
    qv_get_colour_mapping(loaded, &density, &phase, &smooth);
    EXPECT_TRUE(density == 3.5 && phase == 17.25 && smooth == 1);
    EXPECT_FALSE(qv_refine_image(loaded));
    EXPECT_EQ(picture(loaded), picture_before);
    const Counts counts_after = read_counts(loaded);
    EXPECT_EQ(counts_after.n, counts_before.n);
    EXPECT_EQ(counts_after.s, counts_before.s);

    ContextGuard small;
    ASSERT_TRUE(qv_load(small, minimum.c_str()));
    qv_get_colour_mapping(small, &density, &phase, &smooth);
    EXPECT_TRUE(density == 3.5 && phase == 17.25 && smooth == 1);

    ContextGuard old;
    ASSERT_TRUE(qv_load(old, plain.c_str()));
    qv_get_colour_mapping(old, &density, &phase, &smooth);
    EXPECT_TRUE(density == 1.0 && phase == 0.0 && smooth == 0);
    EXPECT_FALSE(qv_refine_image(old));
    ASSERT_EQ(qv_set_colour_mapping(old, 3.5, 17.25, 1), 1);
    EXPECT_GT(refine_to_end(old), 0);
    EXPECT_EQ(picture(old), picture_before);

    // The golden files are from before mappings.
    ContextGuard golden;
    ASSERT_TRUE(qv_load(golden, QV_TEST_DATA_DIR "/history_full.qvh"));
    qv_get_colour_mapping(golden, &density, &phase, &smooth);
    EXPECT_TRUE(density == 1.0 && phase == 0.0 && smooth == 0);
}

// Counts past 16 and 24 bits come back exact from iterated and filled pixels,
// recoloured, and through a full save. Right of the cusp at 1/4 escapes take
// about pi / sqrt(c - 1/4) steps, so a view there holds counts of 45,000 to
// 100,000 along the axis and the limit of 100,000 beside it; inside the main
// cardioid every pixel counts to the limit, here past 2^24.
TEST(Colour, CountsPastSixteenAndTwentyFourBits) {
    TempDir dir("qvw", TempDir::Where::memory);
    const std::string path = dir / "wide.qvh";
    struct Case {
        double cx, radius;
        float factor;  // of the limit 150
    };
    const int side = 24;
    const double density = 7.0;
    for (const Case& v :
         {Case{0.2500000025, 2.5e-9, 100000.0f / 150}, Case{-0.1, 0.05, 112000.0f}}) {
        for (int generator : {0, 1, 2}) {
            ContextGuard h;
            qv_set_view_params_from_doubles(h, v.cx, 0.0, v.radius);
            qv_adjust_maximum_iterations(h, v.factor);
            const uint32_t limit = qv_get_maximum_iterations(h);
            ASSERT_GT(limit, v.cx < 0 ? 1u << 24 : 65535u);
            const auto values = render(h, side, v.cx, 0.0, v.radius, generator);
            const Counts c = read_counts(h);
            size_t high = 0, inside = 0;
            for (int i = 0; i < side * side; ++i) {
                const uint32_t n = c.n[i];
                ASSERT_EQ(values[i], n == limit ? 0 : (n - 1) % 255 + 1) << generator << " " << i;
                high += n > 65535 && n < limit;
                inside += n == limit;
            }
            EXPECT_GT(inside, size_t(side));
            if (v.cx > 0) {
                EXPECT_GT(high, 0u);
            }

            ASSERT_EQ(qv_set_colour_mapping(h, density, 0.0, 0), 1);
            const auto mapped = read_values(h);
            for (int i = 0; i < side * side; ++i) {
                const uint32_t n = c.n[i];
                ASSERT_EQ(mapped[i], n == limit ? 0 : uint64_t((n - 1) / density) % 255 + 1) << i;
            }
            ASSERT_TRUE(qv_save_all(h, path.c_str()));
            ContextGuard loaded;
            ASSERT_TRUE(qv_load(loaded, path.c_str()));
            EXPECT_FALSE(qv_refine_image(loaded));
            EXPECT_EQ(read_counts(loaded).n, c.n);
            EXPECT_EQ(read_values(loaded), mapped);
        }
    }
}
