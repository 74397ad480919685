#include "colour/rgb_image.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b) v = uint8_t(rng());
    return b;
}

// Straightforward colouring of each output byte from the formulas:
// gamma[(16 + sum floor(linear[v] / f^2)) >> 5]; f = 1 copies the palette.
Bytes reference(const uint8_t* pal, double g, int f, int w, int h, const Bytes& samples) {
    auto lin = [g](int v) { return v == 255 ? 65504 : int(65504.0 * std::pow(v / 255.0, g)); };
    Bytes out(size_t(w) * h * 3);
    for (size_t o = 0; o < out.size(); ++o) {
        const int c = int(o / 3) % w, r = int(o / 3) / w, k = int(o % 3);
        int sum = 16;
        for (int y = r * f; y < r * f + f; ++y)
            for (int x = c * f; x < c * f + f; ++x)
                sum += lin(pal[3 * samples[y * f * w + x] + k]) / (f * f);
        out[o] = f == 1 ? pal[3 * samples[r * w + c] + k]
                        : uint8_t(255.0 * std::pow((sum >> 5) / 2047.0, 1 / g));
    }
    return out;
}

Bytes render(RgbImage& img, float gamma, int f, const Bytes& samples) {
    img.set_gamma_and_supersampling(gamma, f);
    img.render(samples.data());
    return Bytes(img.pixels(), img.pixels() + size_t(img.width()) * img.height() * 3);
}

TEST(RgbImage, KnownSupersampledValues) {
    Bytes pal = {0, 0, 0, 255, 0, 0, 255, 255, 255, 128, 128, 128};  // black, red, white, grey
    pal.resize(768);
    RgbImage img(1, 1);
    img.set_palette(pal.data());
    auto block = [&](float gamma, int f, const Bytes& samples) {
        img.dirty = true;
        return render(img, gamma, f, samples);
    };
    EXPECT_EQ(block(1.75f, 2, {2, 0, 0, 2}), Bytes(3, 171));
    EXPECT_EQ(block(1.5f, 2, {2, 0, 2, 0}), Bytes(3, 160));
    EXPECT_EQ(block(1.75f, 2, {1, 1, 1, 1}), (Bytes{255, 0, 0}));
    for (int f : {2, 3, 8}) {  // uniform blocks
        EXPECT_EQ(block(1.75f, f, Bytes(f * f, 2)), Bytes(3, f == 8 ? 254 : 255));
        EXPECT_EQ(block(1.75f, f, Bytes(f * f, 3)), Bytes(3, f == 8 ? 127 : 128));
    }
}

// Every factor and gamma on a non-square image with random content, after a
// factor change and after cycling: catches offset, row-step and lane mistakes.
TEST(RgbImage, MatchesReferenceForEveryFactor) {
    const int w = 7, h = 5;
    RgbImage img(w, h);
    img.set_palette(random_bytes(768, 11).data());
    for (float g : {1.0f, 1.75f, 2.2f})
        for (int f = 1; f <= 8; ++f)
            for (int cycled = 0; cycled < 2; ++cycled) {
                const Bytes samples = random_bytes(size_t(w * f) * h * f, f + cycled);
                const Bytes want = reference(img.palette(), g, f, w, h, samples);
                EXPECT_EQ(render(img, g, f, samples), want) << f << " " << g << " " << cycled;
                img.cycle_palette(-40);  // the sample table must move with the palette
            }
}

TEST(RgbImage, CyclePaletteRotatesEntriesOneTo255) {
    const Bytes pal = random_bytes(768, 5);
    for (int shift : {0, 255, -255, 510, 1, 256, -1, 3, -40}) {
        RgbImage img(1, 1);
        img.set_palette(pal.data());
        img.dirty = false;
        img.cycle_palette(shift);
        EXPECT_EQ(img.dirty, shift % 255 != 0) << shift;
        Bytes want(pal);  // entry i takes entry i - shift, counted round 1..255; 0 stays
        for (int i = 1; i < 256; ++i)
            std::copy_n(&pal[3 * (((i - 1 - shift) % 255 + 255) % 255 + 1)], 3, &want[3 * i]);
        EXPECT_EQ(Bytes(img.palette(), img.palette() + 768), want) << shift;
    }
}

TEST(RgbImage, RenderRulesAndResize) {
    Bytes grey(768);
    for (int i = 0; i < 768; ++i) grey[i] = uint8_t(i / 3);
    ManualClock clock;
    RgbImage img(2, 2);
    img.use_clock(&clock);
    img.set_palette(grey.data());
    auto shows = [&](uint8_t v) { return render(img, 1.5f, 1, Bytes(4, v))[0]; };  // no change
    img.render(nullptr);  // nothing to colour: keeps the flags
    EXPECT_TRUE(img.dirty);
    EXPECT_EQ(shows(10), 10);
    EXPECT_FALSE(img.dirty || img.pending);
    EXPECT_EQ(shows(20), 10);  // nothing pending: untouched
    img.pending = true;
    clock.advance(std::chrono::milliseconds(749));
    EXPECT_EQ(shows(20), 10);  // too soon after the last rebuild
    img.dirty = true;
    EXPECT_EQ(shows(20), 20);  // dirty rebuilds at once and clears both flags
    EXPECT_FALSE(img.dirty || img.pending);
    img.pending = true;
    clock.advance(std::chrono::milliseconds(750));
    EXPECT_EQ(shows(10), 10);  // pending and 0.75 s since the last rebuild
    EXPECT_FALSE(img.pending);

    render(img, 1.75f, 2, Bytes(16, 255));
    const uint8_t* before = img.pixels();
    img.resize(2, 2);  // same size: nothing at all happens
    EXPECT_EQ(img.pixels(), before);
    EXPECT_FALSE(img.dirty);
    img.resize(4, 3);  // cleared, and the block walk follows the new width
    EXPECT_TRUE(img.dirty);
    EXPECT_EQ(Bytes(img.pixels(), img.pixels() + 36), Bytes(36, 0));
    const Bytes wide = random_bytes(8 * 6, 1);
    EXPECT_EQ(render(img, 1.75f, 2, wide), reference(grey.data(), 1.75, 2, 4, 3, wide));
}

TEST(RgbImage, WritePalette) {
    const Bytes pal = random_bytes(768, 2);
    RgbImage img(1, 1);
    img.set_palette(pal.data());
    std::FILE* tmp = std::tmpfile();
    ASSERT_NE(tmp, nullptr);
    EXPECT_TRUE(img.write_palette(tmp));
    Bytes back(769);
    std::rewind(tmp);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + std::fread(back.data(), 1, 769, tmp)), pal);
    std::fclose(tmp);
    EXPECT_FALSE(img.write_palette(nullptr));
    if (std::FILE* full = std::fopen("/dev/full", "wb")) {
        EXPECT_FALSE(img.write_palette(full));
        std::fclose(full);
    }
}

// Through the mapping: smooth colouring of whole counts (no fraction) is the
// plain picture at every supersampling, with palette cycling too; density and
// phase pick ((floor((n - 1) / density + phase)) mod 255) + 1.
TEST(RgbImage, MappingsAgreeWithThePlainPath) {
    const int w = 9, h = 7;
    const Bytes palette = random_bytes(768, 5);
    for (int f : {1, 2, 3}) {
        const size_t n = size_t(w) * h * f * f;
        std::vector<uint32_t> counts(n);
        Bytes bytes(n);
        std::mt19937 rng(f);
        for (size_t i = 0; i < n; ++i) {
            counts[i] = i % 11 == 0 ? 5000 : 1 + rng() % 4000;
            bytes[i] = counts[i] == 5000 ? 0 : uint8_t((counts[i] - 1) % 255 + 1);
        }
        RgbImage plain(w, h), mapped(w, h);
        for (RgbImage* image : {&plain, &mapped}) {
            image->set_palette(palette.data());
            image->set_gamma_and_supersampling(1.75f, f);
            image->cycle_palette(37);
        }
        plain.render(bytes.data());
        mapped.set_mapping(ColourMapping{1.0, 0.0, true});
        mapped.render(bytes.data(), counts.data(), nullptr);
        EXPECT_EQ(Bytes(mapped.pixels(), mapped.pixels() + w * h * 3),
                  Bytes(plain.pixels(), plain.pixels() + w * h * 3))
            << f;

        Bytes indices(n);
        for (size_t i = 0; i < n; ++i)
            indices[i] =
                bytes[i] == 0 ? 0 : uint8_t(uint64_t((counts[i] - 1) / 2.5 + 3.0) % 255 + 1);
        plain.dirty = true;
        plain.render(indices.data());
        mapped.set_mapping(ColourMapping{2.5, 3.0, false});
        mapped.render(bytes.data(), counts.data(), nullptr);
        EXPECT_EQ(Bytes(mapped.pixels(), mapped.pixels() + w * h * 3),
                  Bytes(plain.pixels(), plain.pixels() + w * h * 3))
            << f;
    }
}

}  // namespace
}  // namespace quorvel
