#include "storage/masked_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "storage/count_code.h"
#include "storage/delta_code.h"
#include "storage/fraction_code.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

struct Plain {
    int w, h, stride;
    Bytes mask, values;
    bool computed(int x, int y) const { return (mask[y * stride + x / 8] >> (x % 8)) & 1; }
};

Plain snapshot(MaskedImage& img) {
    img.unpack();
    const uint8_t *m = img.mask(), *v = img.values();
    const size_t mask_size = size_t(img.mask_stride()) * img.height();
    return {img.width(), img.height(), img.mask_stride(), Bytes(m, m + mask_size),
            Bytes(v, v + size_t(img.width()) * img.height())};
}

// Bit-by-bit reading of both streams, least significant bit first, with the
// stop rule: no code starts past byte size - 4 of its stream. Mask bits past
// the width are dropped; each value repeats forward to the next computed pixel.
Plain ref_unpack(int w, int h, const Bytes& pm, const Bytes& pv) {
    const int stride = MaskedImage::stride_for(w);
    Plain p{w, h, stride, Bytes(size_t(stride) * h), Bytes(size_t(w) * h)};
    auto bit = [](const Bytes& s, size_t i) { return i / 8 < s.size() && s[i / 8] >> i % 8 & 1; };
    size_t at = 0;
    uint8_t byte = 0;
    for (size_t i = 0; i < p.mask.size() && at / 8 + 4 <= pm.size(); ++i) {
        if (bit(pm, at++)) {
            byte = 0;
            for (int k = 0; k < 8; ++k) byte |= uint8_t(bit(pm, at++) << k);
        }
        p.mask[i] = byte & (0xFF >> std::clamp(8 * int(i % stride) + 8 - w, 0, 8));
    }
    const DeltaCodeEntry* code = delta_code();
    auto starts_with = [&](int d) {
        for (int k = 0; k < code[d].length; ++k)
            if (bit(pv, at + k) != ((code[d].code >> k) & 1)) return false;
        return true;
    };
    at = 0;
    bool stopped = false;
    for (int i = 0, v = 0; i < w * h; ++i) {
        if (p.computed(i % w, i / w) && !stopped && !(stopped = at / 8 + 4 > pv.size())) {
            int d = 0;
            while (d < 255 && !starts_with(d)) ++d;  // the code is complete: one always fits
            at += code[d].length;
            v += d;
        }
        p.values[i] = stopped ? 0 : uint8_t(v);
    }
    return p;
}

// Escape-time bytes of a view of the set's boundary, with a computed mask of
// the given kind: 0 all, 1 random, 2 boundaries only (as contour tracing
// leaves it), 3 blocks.
MaskedImage realistic(int w, int h, int kind, std::mt19937& rng) {
    MaskedImage img(w, h);
    uint8_t* v = img.values();
    for (int i = 0; i < w * h; ++i) {
        const double cr = -0.75 + 0.1 * (i % w - w / 2.0) / w,
                     ci = 0.1 - 0.1 * (i / w - h / 2.0) / w;
        double zr = 0, zi = 0, t;
        int n = 0;
        for (; n < 300 && zr * zr + zi * zi <= 4; ++n)
            t = zr * zr - zi * zi + cr, zi = 2 * zr * zi + ci, zr = t;
        v[i] = n >= 300 ? 0 : uint8_t((n - 1) % 255 + 1);
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int i = y * w + x;
            const bool edge = x == 0 || y == 0 || x == w - 1 || y == h - 1 || v[i - 1] != v[i] ||
                              v[i + 1] != v[i] || v[i - w] != v[i] || v[i + w] != v[i];
            const bool on[] = {true, rng() % 3 != 0, edge, (x / 13 + y / 7) % 2 == 0};
            if (on[kind]) img.mark_computed(x, y);
        }
    return img;
}

TEST(MaskedImage, KnownStreams) {
    MaskedImage five(3, 1);
    for (int x = 0; x < 3; ++x) five.mark_computed(x, 0), five.values()[x] = 5;
    five.pack();
    EXPECT_EQ(five.packed_values(), (Bytes{0x13, 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(five.packed_mask(), (Bytes{0x0F, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(snapshot(five).values, (Bytes{5, 5, 5}));

    // Unpacking repeats the last computed value forward; provisional values are not kept.
    MaskedImage gaps(4, 2);
    std::fill(gaps.values(), gaps.values() + 8, 200);
    for (auto [x, y, v] : {std::tuple{0, 0, 9}, {2, 0, 7}, {1, 1, 4}})
        gaps.mark_computed(x, y), gaps.values()[y * 4 + x] = uint8_t(v);
    gaps.pack();
    EXPECT_EQ(snapshot(gaps).values, (Bytes{9, 9, 7, 7, 7, 4, 4, 4}));

    MaskedImage empty(100, 100);
    std::fill(empty.values(), empty.values() + 10000, 1);
    empty.pack();
    empty.pack();
    EXPECT_EQ(empty.packed_values(), Bytes(4, 0));
    EXPECT_EQ(empty.packed_mask(), Bytes(254, 0));
    // Mask, value stream and 10000 counts of 0, a byte each.
    EXPECT_EQ(empty.memory_size(), 36u + 2000u + 4u + 10000u);
    EXPECT_EQ(snapshot(empty).values, Bytes(10000, 0));
}

// Realistic content and awkward widths: computed bits and values come back
// exact, both from unpack and from the reference reader. Streams from a file
// can hold anything or be cut short, even below their tail: damaged copies
// decode inside the buffers, as the reference reader sees them.
TEST(MaskedImage, PackRoundTripsAndDamagedStreamsDecodeSafely) {
    std::mt19937 rng(17);
    for (int kind = 0; kind < 4; ++kind)
        for (auto [w, h] : {std::pair{64, 40}, {101, 37}, {7, 9}, {200, 3}}) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << " size " << w << "x" << h);
            MaskedImage img = realistic(w, h, kind, rng);
            const Plain before = snapshot(img);
            Bytes want(before.values);  // computed values, each repeated forward
            for (int i = 0, v = 0; i < w * h; ++i)
                want[i] = uint8_t(v = before.computed(i % w, i / w) ? before.values[i] : v);
            const uint32_t packed_size = img.packed_size();
            img.pack();
            EXPECT_EQ(img.memory_size(), packed_size);
            const Bytes pm = img.packed_mask(), pv = img.packed_values();
            EXPECT_EQ(ref_unpack(w, h, pm, pv).values, want);
            const Plain after = snapshot(img);
            EXPECT_EQ(after.mask, before.mask);
            EXPECT_EQ(after.values, want);
            for (int round = 0; round < (w * h < 1000 ? 40 : 0); ++round) {
                Bytes m = pm, v = pv;
                for (Bytes* s : {&m, &v, &m, &v}) (*s)[rng() % s->size()] = uint8_t(rng());
                Bytes& cut = round % 2 ? v : m;  // below the tail in the first rounds
                cut.resize(round < 8 ? round / 2 : rng() % (cut.size() + 1));
                const Plain expected = ref_unpack(w, h, m, v);
                MaskedImage damaged = MaskedImage::from_packed(w, h, m, v);
                const Plain got = snapshot(damaged);
                ASSERT_EQ(got.mask, expected.mask) << round;
                ASSERT_EQ(got.values, expected.values) << round;
            }
        }
}

TEST(MaskedImage, RunLengthForm) {
    // Computed: (1,0) (3,0) (0,1) (1,1) (2,1) (3,1) (5,1) of a 6 x 2 image.
    Bytes mask(size_t(MaskedImage::stride_for(6)) * 2, 0);
    mask[0] = 0b001010;
    mask[8] = 0b101111;
    auto decode = [](const Bytes& mask, const Bytes& rl) {
        MaskedImage img = MaskedImage::from_run_length(6, 2, mask, rl.data(), rl.size());
        return snapshot(img);
    };
    // A run of 3 of 0x45 (a value in the run range), a single 9, a run of 2
    // of 7: pixels before the first computed one stay 0, the last run repeats.
    const Plain p = decode(mask, {0x42, 0x45, 9, 0x41, 7});
    EXPECT_EQ(p.mask, mask);
    EXPECT_EQ(p.values, (Bytes{0, 0x45, 0x45, 0x45, 0x45, 0x45, 0x45, 9, 7, 7, 7, 0}));
    // A run byte at the very end ends decoding.
    EXPECT_EQ(decode(mask, {3, 0x5F}).values, (Bytes{0, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // A run longer than the pixels left stops at the last pixel; a short mask
    // is padded, its bits past the width dropped.
    const Plain big = decode(Bytes{0xFF}, {0x5F, 4, 0x5F, 6});
    EXPECT_EQ(big.values, Bytes(12, 4));
    EXPECT_EQ(big.mask[0], 0x3F);
    EXPECT_EQ(decode(mask, {}).values, Bytes(12, 0));
}

// Each pixel takes the one dx, dy further on, or nothing; for dx > 0 the bits
// from the byte holding column w - dx onwards are dropped.
Plain ref_shift(const Plain& p, int dx, int dy) {
    Plain r{p.w, p.h, p.stride, Bytes(p.mask.size()), Bytes(p.values.size())};
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const int sx = x + dx, sy = y + dy;
            if (sx < 0 || sy < 0 || sx >= p.w || sy >= p.h) continue;
            r.values[y * p.w + x] = p.values[sy * p.w + sx];
            if (p.computed(sx, sy) && !(dx > 0 && x >= (p.w - dx) / 8 * 8))
                r.mask[y * p.stride + x / 8] |= uint8_t(1 << (x % 8));
        }
    return r;
}

TEST(MaskedImage, ShiftMatchesReference) {
    std::mt19937 rng(3);
    for (int w : {100, 64, 13}) {
        const MaskedImage base = realistic(w, 11, 1, rng);
        for (int dx = -(w - 1) / 8 * 8; dx < w; dx += 8)
            for (int dy : {0, 1, -1, 5, -10, 10}) {
                SCOPED_TRACE(testing::Message() << w << " " << dx << " " << dy);
                MaskedImage img(base), copy(base);
                if (dy == 5) img.pack(), copy.pack();  // shifting unpacks first
                const Plain expected = ref_shift(snapshot(copy), dx, dy);
                img.shift(dx, dy);
                const Plain got = snapshot(img);
                ASSERT_EQ(got.mask, expected.mask);
                ASSERT_EQ(got.values, expected.values);
            }
    }
}

// Box and edge fills write only pixels not yet computed; interior and span
// fills write every pixel's value and the count of those not computed. All
// clip to the image; counts and fractions move and pack with the values.
TEST(MaskedImage, Fills) {
    MaskedImage img(20, 10);
    for (auto [x, y] : {std::pair{5, 5}, {3, 1}, {2, 7}}) {
        img.mark_computed(x, y);
        img.counts().set(y * 20 + x, 77);
    }
    img.fill_box(Box{-5, 4, 30, 5}, 1, 1001);
    img.fill_edges(Box{3, 1, 9, 3}, 2, 1002);
    EXPECT_EQ(img.fill_interior(Box{10, 0, 14, 3}, 3, 1003), 3 * 2);
    EXPECT_EQ(img.fill_interior(Box{10, 2, 11, 8}, 4, 1004), 0);
    EXPECT_EQ(img.fill_interior(Box{-3, 8, 30, 20}, 6, 1006), 20);
    const Span spans[] = {{0, 4, 7}, {18, 25, 8}, {5, 5, 6}, {-3, 2, 6}, {0, 20, 17}};
    img.fill_spans(spans, 5, 5, 1005);
    auto want = [](int x, int y) {
        if ((x == 5 && y == 5) || (x == 3 && y == 1)) return 0;
        if (y == 4 || y == 5) return 1;
        if (x >= 3 && x <= 9 && y >= 1 && y <= 3 && (x == 3 || x == 9 || y != 2)) return 2;
        if (x >= 11 && x <= 13 && y >= 1 && y <= 2) return 3;
        if ((y == 6 && x < 2) || (y == 7 && x < 4) || (y == 8 && x >= 18)) return 5;
        return y == 9 ? 6 : 0;
    };
    auto want_count = [&](int x, int y) -> uint32_t {
        if (img.is_computed(x, y)) return 77;
        return want(x, y) == 0 ? 0 : 1000 + want(x, y);
    };
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) {
            ASSERT_EQ(img.values()[y * 20 + x], want(x, y)) << x << "," << y;
            ASSERT_EQ(img.counts().get(y * 20 + x), want_count(x, y)) << x << "," << y;
        }
    EXPECT_EQ(img.fractions(), nullptr);
    img.fractions_for_use()[4 * 20 + 3] = 1.25f;
    img.values()[5 * 20 + 5] = 7;
    img.counts().set(5 * 20 + 5, 300007);
    // A packed copy has the streams pack() gives, and leaves the image as it was.
    const MaskedImage copy = img.packed_copy();
    EXPECT_TRUE(copy.is_packed() && !img.is_packed());
    EXPECT_EQ(img.packed_size(), copy.memory_size());
    EXPECT_EQ(img.counts().get(5 * 20 + 5), 300007u);
    img.pack();
    EXPECT_LT(img.packed_counts().size(), 20u * 10 * 2);
    EXPECT_TRUE(copy.packed_mask() == img.packed_mask() &&
                copy.packed_values() == img.packed_values() &&
                copy.packed_counts() == img.packed_counts() &&
                copy.packed_fractions() == img.packed_fractions());
    img.clear_mask();  // unpacks; computed values stay, fractions go with the marks
    EXPECT_FALSE(img.is_computed(5, 5));
    EXPECT_EQ(img.values()[5 * 20 + 5], 7);
    EXPECT_EQ(img.counts().get(5 * 20 + 5), 300007u);
    EXPECT_EQ(img.counts().get(9 * 20 + 19), 1006u);
    EXPECT_EQ(img.fractions()[4 * 20 + 3], 0.0f);
    img.fractions()[4 * 20 + 3] = 1.5f;
    img.shift(-8, 1);  // pixel (x, y) takes (x - 8, y + 1)
    EXPECT_EQ(img.counts().get(4 * 20 + 13), 300007u);
    EXPECT_EQ(img.fractions()[3 * 20 + 11], 1.5f);
    EXPECT_EQ(img.counts().get(0), 0u);
}

// Fraction codes on the 16-bit grid: any s - n in [0, 1] rounds to a code in
// [1, 2), 0 stays exact, and codes on the grid pack and
// unpack bit for bit (others round to the nearest step); no fraction stays 0.
TEST(MaskedImage, FractionsPackInSixteenBits) {
    EXPECT_EQ(fraction_code(0.0), 1.0f);
    EXPECT_LT(fraction_code(1.0), 2.0f);
    EXPECT_LT(fraction_code(0.9999999), 2.0f);
    MaskedImage img(300, 200);
    float* codes = img.fractions_for_use();
    std::mt19937 rng(3);
    std::vector<double> wanted(300 * 200);
    for (size_t i = 0; i < wanted.size(); ++i) {
        wanted[i] = (rng() % 1000001) / 1e6;
        codes[i] = i % 7 == 0 ? 0.0f : fraction_code(wanted[i]);
        if (codes[i] != 0.0f) {
            // Within half a step, but for the last, which stays below 2.
            const double steps = wanted[i] > 65534.5 / 65535 ? 1.0 : 0.5;
            ASSERT_NEAR(codes[i] - 1.0, wanted[i], steps / 65535 + 1e-7) << i;
        }
    }
    const std::vector<float> before(codes, codes + wanted.size());
    img.pack();
    EXPECT_EQ(img.packed_fractions().size(), 2u * 300 * 200);
    img.unpack();
    EXPECT_EQ(std::vector<float>(img.fractions(), img.fractions() + wanted.size()), before);
    img.fractions()[5] = 1.3f;
    img.pack();
    img.unpack();
    EXPECT_NEAR(img.fractions()[5], 1.3f, 0.5 / 65535 + 1e-7);
    EXPECT_EQ(fraction_code(img.fractions()[5] - 1.0), img.fractions()[5]);
}

// Counts that change little between neighbours pack to about a byte a pixel,
// and any counts come back exactly; a damaged stream gives zeros.
TEST(MaskedImage, CountsPackByTheirDifferences) {
    MaskedImage img(600, 600);
    std::mt19937 rng(7);
    std::vector<uint32_t> before(600 * 600);
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 600; ++x)
            before[y * 600 + x] =
                170000 + uint32_t(std::lround(40 * std::sin(x / 50.0) * std::cos(y / 70.0))) +
                rng() % 5;
    before[0] = 0xFFFFFFFFu;
    before[1] = 0;
    for (size_t i = 0; i < before.size(); ++i) img.counts().set(i, before[i]);
    img.pack();
    std::printf("600x600 counts pack to %.2f bytes a pixel\n",
                img.packed_counts().size() / 360000.0);
    EXPECT_LT(img.packed_counts().size(), 600u * 600 * 3 / 2);
    img.unpack();
    for (size_t i = 0; i < before.size(); ++i) ASSERT_EQ(img.counts().get(i), before[i]) << i;

    MaskedImage damaged = MaskedImage::from_packed(2, 2, {}, {});
    damaged.set_packed_counts({0x80, 0x80}, {});
    damaged.unpack();
    EXPECT_EQ(damaged.counts().get(0) | damaged.counts().get(3), 0u);
}

// Counts take a byte a pixel until one needs 2 or 4: a set or a fill widens
// the plane and the counts already held stay. The packed stream is that of
// plain 32-bit counts at any width, and unpacks at the width its counts need.
TEST(MaskedImage, CountsWidenAsTheyGrow) {
    MaskedImage img(24, 6);
    const uint32_t narrow = img.memory_size();
    img.counts().set(0, 255);
    img.fill_box(Box{0, 1, 23, 1}, 1, 200);
    EXPECT_EQ(img.counts().width(), 1u);
    img.fill_edges(Box{0, 2, 23, 2}, 2, 65535);
    EXPECT_EQ(img.counts().width(), 2u);
    EXPECT_EQ(img.memory_size(), narrow + 24 * 6);
    EXPECT_EQ(img.fill_interior(Box{-1, 2, 24, 4}, 3, 65536), 24);
    EXPECT_EQ(img.counts().width(), 4u);
    EXPECT_EQ(img.memory_size(), narrow + 3 * 24 * 6);
    const Span span{0, 24, 4};
    img.fill_spans(&span, 1, 4, (1u << 24) + 5);
    img.counts().set(5 * 24 + 7, 0xFFFFFFFFu);
    const uint32_t rows[] = {0, 200, 65535, 65536, (1u << 24) + 5, 0};
    std::vector<uint32_t> plain(24 * 6);
    for (int i = 0; i < 24 * 6; ++i)
        plain[i] = i == 0 ? 255 : i == 127 ? 0xFFFFFFFFu : rows[i / 24];
    for (int i = 0; i < 24 * 6; ++i) ASSERT_EQ(img.counts().get(i), plain[i]) << i;

    img.pack();
    EXPECT_EQ(img.packed_counts(), pack_counts(plain.data(), 24, 6));
    img.unpack();
    EXPECT_EQ(img.counts().width(), 4u);
    for (int i = 0; i < 24 * 6; ++i) ASSERT_EQ(img.counts().get(i), plain[i]) << i;
    img.shift(-8, 0);  // pixel (x, y) takes (x - 8, y)
    EXPECT_EQ(img.counts().get(5 * 24 + 15), 0xFFFFFFFFu);
    EXPECT_EQ(img.counts().get(4 * 24 + 3), 0u);
    EXPECT_EQ(img.counts().get(4 * 24 + 8), (1u << 24) + 5);

    // Small counts come back a byte each; a first large count widens at once.
    MaskedImage small(24, 6);
    small.fill_box(Box{2, 2, 9, 4}, 9, 150);
    small.pack();
    small.unpack();
    EXPECT_EQ(small.counts().width(), 1u);
    EXPECT_EQ(small.counts().get(3 * 24 + 5), 150u);
    small.fill_box(Box{10, 0, 10, 0}, 9, 1u << 24);
    EXPECT_EQ(small.counts().width(), 4u);
    EXPECT_EQ(small.counts().get(3 * 24 + 5), 150u);
    EXPECT_EQ(small.counts().get(10), 1u << 24);
}

// A span over whole mask bytes, some with no pixel computed, some with all,
// some with a few, writes the count of exactly the pixels not computed.
TEST(MaskedImage, SpanFillCountsByMaskBytes) {
    MaskedImage img(48, 2);
    for (int x = 0; x < 48; ++x)
        if ((x >= 16 && x < 24) || x == 9 || x == 30 || x == 31 || x == 44) {
            img.mark_computed(x, 1);
            img.counts().set(48 + x, 7);
        }
    const Span span{3, 46, 1};
    img.fill_spans(&span, 1, 2, 300);
    for (int x = 0; x < 48; ++x) {
        const uint32_t want = img.is_computed(x, 1) ? 7 : x >= 3 && x < 46 ? 300 : 0;
        ASSERT_EQ(img.counts().get(48 + x), want) << x;
        ASSERT_EQ(img.counts().get(x), 0u) << x;
    }
}

// A plane made for a known largest count is that wide at once, and still
// widens past it.
TEST(MaskedImage, CountPlaneSizedForItsLargestCount) {
    const uint32_t largest[] = {1, 255, 256, 65535, 65536, 0xFFFFFFFFu};
    const uint32_t width[] = {1, 1, 2, 2, 4, 4};
    for (int k = 0; k < 6; ++k) {
        CountPlane plane(10, largest[k]);
        EXPECT_EQ(plane.width(), width[k]) << k;
        EXPECT_EQ(plane.byte_size(), 10u * width[k]) << k;
        plane.set(9, largest[k]);
        EXPECT_EQ(plane.width(), width[k]) << k;
        EXPECT_EQ(plane.get(9), largest[k]) << k;
        EXPECT_EQ(plane.get(0), 0u) << k;
    }
    // Widening copies blocks with a count and leaves the rest 0, to the last
    // pixel past the whole blocks.
    CountPlane sparse(1000);
    const size_t at[] = {0, 63, 64, 500, 959, 960, 999};
    for (size_t k = 0; k < 7; ++k) sparse.set(at[k], static_cast<uint32_t>(k + 1));
    sparse.set(700, 70000);
    for (size_t i = 0; i < 1000; ++i) {
        const size_t* hit = std::find(at, at + 7, i);
        const uint32_t want = i == 700        ? 70000
                              : hit != at + 7 ? static_cast<uint32_t>(hit - at + 1)
                                              : 0;
        ASSERT_EQ(sparse.get(i), want) << i;
    }
    CountPlane plane(4, 300);
    plane.set(1, 300);
    plane.set(2, 1u << 20);
    EXPECT_EQ(plane.width(), 4u);
    EXPECT_EQ(plane.get(1), 300u);
    EXPECT_EQ(plane.get(2), 1u << 20);
}

// A copy of a large array is equal byte for byte, whichever pages hold only
// zeros: bytes at the edges of pages and at the end of a part page included.
TEST(ZeroedBytes, CopiesKeepEveryByte) {
    ZeroedBytes big((size_t(3) << 20) + 100);
    for (size_t at : {size_t(0), size_t(4095), size_t(4096), size_t(3) << 20, big.size() - 1})
        big.data()[at] = 7;
    big.data()[12345] = 1;
    const ZeroedBytes copy(big);
    ASSERT_EQ(copy.size(), big.size());
    EXPECT_EQ(std::memcmp(copy.data(), big.data(), big.size()), 0);
}

}  // namespace
}  // namespace quorvel
