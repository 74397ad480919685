#include "colour/rgb_image.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

using Palette = std::array<uint8_t, 768>;

Palette grey_palette() {
    Palette p{};
    for (int i = 0; i < 256; ++i) p[3 * i] = p[3 * i + 1] = p[3 * i + 2] = static_cast<uint8_t>(i);
    return p;
}

Palette random_palette(uint32_t seed) {
    std::mt19937 rng(seed);
    Palette p{};
    for (auto& b : p) b = static_cast<uint8_t>(rng());
    return p;
}

// Straightforward colouring of one output channel, written from the formulas:
// gamma[(16 + sum floor(linear[v] / f^2)) >> 5].
struct Reference {
    double gamma;
    int lin(int v) const {
        return v == 255 ? 65504 : static_cast<int>(65504.0 * std::pow(v / 255.0, gamma));
    }
    int gam(int i) const { return static_cast<int>(255.0 * std::pow(i / 2047.0, 1.0 / gamma)); }

    std::vector<uint8_t> render(const Palette& pal, int f, int w, int h,
                                const std::vector<uint8_t>& samples) const {
        std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
        for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w; ++c) {
                for (int k = 0; k < 3; ++k) {
                    int sum = 16;
                    for (int y = r * f; y < r * f + f; ++y) {
                        for (int x = c * f; x < c * f + f; ++x) {
                            sum += lin(pal[3 * samples[static_cast<size_t>(y) * f * w + x] + k]) /
                                   (f * f);
                        }
                    }
                    out[(static_cast<size_t>(r) * w + c) * 3 + k] = static_cast<uint8_t>(
                        f == 1 ? pal[3 * samples[r * w + c] + k] : gam(sum >> 5));
                }
            }
        }
        return out;
    }
};

std::vector<uint8_t> pixels_of(RgbImage& img) {
    return {img.pixels(), img.pixels() + static_cast<size_t>(img.width()) * img.height() * 3};
}

// Renders one output pixel from an f x f block and returns its three bytes.
std::array<int, 3> one_block(float gamma, int f, const Palette& pal,
                             const std::vector<uint8_t>& block) {
    RgbImage img(1, 1);
    img.set_palette(pal.data());
    img.set_gamma_and_supersampling(gamma, f);
    img.render(block.data());
    return {img.pixels()[0], img.pixels()[1], img.pixels()[2]};
}

TEST(RgbImage, ConstructionState) {
    RgbImage img(4, 3);
    EXPECT_EQ(img.width(), 4);
    EXPECT_EQ(img.height(), 3);
    EXPECT_FLOAT_EQ(img.gamma(), 1.5f);
    EXPECT_EQ(img.supersampling(), 1);
    EXPECT_TRUE(img.dirty);
    EXPECT_TRUE(img.pending);
    for (int i = 0; i < 4 * 3 * 3; ++i) EXPECT_EQ(img.pixels()[i], 0);
    for (int i = 0; i < 768; ++i) EXPECT_EQ(img.palette()[i], 0);
}

TEST(RgbImage, FactorClampingAndIgnoredGammas) {
    RgbImage img(2, 2);
    img.set_gamma_and_supersampling(1.75f, 0);
    EXPECT_EQ(img.supersampling(), 1);
    img.set_gamma_and_supersampling(1.75f, -3);
    EXPECT_EQ(img.supersampling(), 1);
    img.set_gamma_and_supersampling(1.75f, 12);
    EXPECT_EQ(img.supersampling(), 8);

    for (float g : {0.0f, -2.0f, std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::infinity()}) {
        img.dirty = false;
        img.set_gamma_and_supersampling(g, 8);
        EXPECT_FLOAT_EQ(img.gamma(), 1.75f) << g;
        EXPECT_FALSE(img.dirty) << "nothing changed for gamma " << g;
    }
    img.set_gamma_and_supersampling(2.0f, 8);
    EXPECT_TRUE(img.dirty);
    img.dirty = false;
    img.set_gamma_and_supersampling(0.0f, 3);
    EXPECT_FLOAT_EQ(img.gamma(), 2.0f);
    EXPECT_EQ(img.supersampling(), 3);
    EXPECT_TRUE(img.dirty);
}

TEST(RgbImage, FactorOneCopiesPaletteWhateverTheGamma) {
    const Palette pal = random_palette(7);
    std::vector<uint8_t> samples(16 * 16);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i);
    for (float g : {1.0f, 1.75f, 3.0f}) {
        RgbImage img(16, 16);
        img.set_palette(pal.data());
        img.set_gamma_and_supersampling(g, 1);
        img.render(samples.data());
        for (int i = 0; i < 256; ++i) {
            for (int k = 0; k < 3; ++k) ASSERT_EQ(img.pixels()[3 * i + k], pal[3 * i + k]);
        }
    }
}

TEST(RgbImage, KnownSupersampledValues) {
    Palette pal{};
    pal[3 * 1] = 255;                                    // entry 1: red
    pal[3 * 2] = pal[3 * 2 + 1] = pal[3 * 2 + 2] = 255;  // entry 2: white
    pal[3 * 3] = pal[3 * 3 + 1] = pal[3 * 3 + 2] = 128;  // entry 3: mid grey
    using C = std::array<int, 3>;

    EXPECT_EQ(one_block(1.75f, 2, pal, {2, 0, 0, 2}), (C{171, 171, 171}));
    EXPECT_EQ(one_block(1.5f, 2, pal, {2, 0, 2, 0}), (C{160, 160, 160}));
    EXPECT_EQ(one_block(1.75f, 2, pal, {1, 1, 1, 1}), (C{255, 0, 0}));

    EXPECT_EQ(one_block(1.75f, 8, pal, std::vector<uint8_t>(64, 2)), (C{254, 254, 254}));
    EXPECT_EQ(one_block(1.75f, 8, pal, std::vector<uint8_t>(64, 3)), (C{127, 127, 127}));
    for (int f : {2, 3}) {
        EXPECT_EQ(one_block(1.75f, f, pal, std::vector<uint8_t>(f * f, 2)), (C{255, 255, 255}));
        EXPECT_EQ(one_block(1.75f, f, pal, std::vector<uint8_t>(f * f, 3)), (C{128, 128, 128}));
    }
}

// Every factor on a non-square image with random content, against a plain
// two-dimensional walk: catches offset, row-step and lane mistakes.
TEST(RgbImage, MatchesReferenceForEveryFactor) {
    const int w = 7, h = 5;
    const Palette pal = random_palette(11);
    std::mt19937 rng(3);
    for (float g : {1.0f, 1.75f, 2.2f}) {
        for (int f = 1; f <= 8; ++f) {
            std::vector<uint8_t> samples(static_cast<size_t>(w * f) * h * f);
            for (auto& s : samples) s = static_cast<uint8_t>(rng());
            RgbImage img(w, h);
            img.set_palette(pal.data());
            img.set_gamma_and_supersampling(g, f);
            img.render(samples.data());
            EXPECT_EQ(pixels_of(img), (Reference{g}.render(pal, f, w, h, samples)))
                << "f=" << f << " gamma=" << g;
        }
    }
}

TEST(RgbImage, CyclePalette) {
    const Palette pal = random_palette(5);
    // The palette after one cycle_palette(shift), and whether it set dirty.
    auto cycled = [&](int shift) {
        RgbImage img(1, 1);
        img.set_palette(pal.data());
        img.dirty = false;
        img.cycle_palette(shift);
        Palette p;
        std::copy(img.palette(), img.palette() + 768, p.begin());
        return std::pair<Palette, bool>{p, img.dirty};
    };
    for (int shift : {0, 255, -255, 510}) {
        auto [p, dirty] = cycled(shift);
        EXPECT_EQ(p, pal) << shift;
        EXPECT_FALSE(dirty) << shift;
    }
    EXPECT_EQ(cycled(256).first, cycled(1).first);
    EXPECT_TRUE(cycled(1).second);

    const Palette down = cycled(-1).first;
    const Palette up = cycled(3).first;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(down[0 + k], pal[0 + k]);          // entry 0 never moves
        EXPECT_EQ(down[3 * 255 + k], pal[3 + k]);    // entry 1 wrapped down to 255
        EXPECT_EQ(down[3 * 1 + k], pal[3 * 2 + k]);  // entry 2 moved to 1
        EXPECT_EQ(up[3 * 4 + k], pal[3 * 1 + k]);    // entry 1 moved to 4
        EXPECT_EQ(up[3 * 1 + k], pal[3 * 253 + k]);  // entry 253 wrapped up to 1
        EXPECT_EQ(up[0 + k], pal[0 + k]);
    }
}

// The sample table moves with the palette, and later gamma or factor changes
// keep the rotation.
TEST(RgbImage, CycledPaletteColoursLikeTheRotatedPalette) {
    const int w = 5, h = 4, f = 3;
    const Palette pal = random_palette(9);
    std::vector<uint8_t> samples(static_cast<size_t>(w * f) * h * f);
    std::mt19937 rng(1);
    for (auto& s : samples) s = static_cast<uint8_t>(rng());

    RgbImage img(w, h);
    img.set_palette(pal.data());
    img.set_gamma_and_supersampling(1.75f, f);
    img.cycle_palette(-40);
    Palette rotated;
    std::copy(img.palette(), img.palette() + 768, rotated.begin());
    img.render(samples.data());
    EXPECT_EQ(pixels_of(img), (Reference{1.75}.render(rotated, f, w, h, samples)));

    img.set_gamma_and_supersampling(2.0f, f);
    img.render(samples.data());
    EXPECT_EQ(pixels_of(img), (Reference{2.0}.render(rotated, f, w, h, samples)));
}

TEST(RgbImage, RenderRulesForDirtyAndPending) {
    const Palette pal = grey_palette();
    const std::vector<uint8_t> first(4, 10), second(4, 20);
    RgbImage img(2, 2);
    img.set_palette(pal.data());

    img.render(nullptr);  // nothing to colour: keeps the flags
    EXPECT_TRUE(img.dirty);

    img.render(first.data());
    EXPECT_FALSE(img.dirty);
    EXPECT_FALSE(img.pending);
    EXPECT_EQ(img.pixels()[0], 10);

    img.render(second.data());  // nothing changed
    EXPECT_EQ(img.pixels()[0], 10);

    img.pending = true;  // too soon after the last rebuild
    img.render(second.data());
    EXPECT_EQ(img.pixels()[0], 10);
    EXPECT_TRUE(img.pending);

    img.dirty = true;  // dirty rebuilds at once and clears both flags
    img.render(second.data());
    EXPECT_EQ(img.pixels()[0], 20);
    EXPECT_FALSE(img.pending);

    img.pending = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    img.render(first.data());
    EXPECT_EQ(img.pixels()[0], 10);
    EXPECT_FALSE(img.pending);
}

TEST(RgbImage, Resize) {
    const Palette pal = grey_palette();
    RgbImage img(3, 2);
    img.set_palette(pal.data());
    img.set_gamma_and_supersampling(1.75f, 2);
    const std::vector<uint8_t> samples(6 * 4, 255);
    img.render(samples.data());
    const uint8_t* before = img.pixels();
    ASSERT_EQ(before[0], 255);

    img.resize(3, 2);  // same size: nothing at all happens
    EXPECT_EQ(img.pixels(), before);
    EXPECT_EQ(img.pixels()[0], 255);
    EXPECT_FALSE(img.dirty);

    img.resize(4, 3);
    EXPECT_TRUE(img.dirty);
    EXPECT_EQ(img.width(), 4);
    EXPECT_EQ(img.height(), 3);
    for (int i = 0; i < 4 * 3 * 3; ++i) ASSERT_EQ(img.pixels()[i], 0);

    // The block walk follows the new width.
    std::vector<uint8_t> wide(8 * 6);
    for (size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<uint8_t>(i * 5);
    img.render(wide.data());
    EXPECT_EQ(pixels_of(img), (Reference{1.75}.render(pal, 2, 4, 3, wide)));
}

TEST(RgbImage, WritePalette) {
    const Palette pal = random_palette(2);
    RgbImage img(1, 1);
    img.set_palette(pal.data());

    std::FILE* tmp = std::tmpfile();
    ASSERT_NE(tmp, nullptr);
    EXPECT_TRUE(img.write_palette(tmp));
    std::rewind(tmp);
    Palette back{};
    EXPECT_EQ(std::fread(back.data(), 1, back.size(), tmp), back.size());
    EXPECT_EQ(std::fgetc(tmp), EOF);
    EXPECT_EQ(back, pal);
    std::fclose(tmp);

    EXPECT_FALSE(img.write_palette(nullptr));
    if (std::FILE* full = std::fopen("/dev/full", "wb")) {
        EXPECT_FALSE(img.write_palette(full));
        std::fclose(full);
    }
}

}  // namespace
}  // namespace quorvel
