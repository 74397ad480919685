#include "storage/masked_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "storage/delta_code.h"

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

// A straightforward bit writer: bits least significant first, then the
// 4-byte tail rule (floor(bits / 8) + 4 bytes).
struct RefWriter {
    Bytes bytes;
    size_t bits = 0;
    void put(uint32_t code, unsigned length) {
        for (unsigned i = 0; i < length; ++i, ++bits) {
            if (bytes.size() <= bits / 8) bytes.push_back(0);
            if ((code >> i) & 1) bytes[bits / 8] |= uint8_t(1u << (bits % 8));
        }
    }
    Bytes finish() {
        bytes.resize(bits / 8 + 4, 0);
        return bytes;
    }
};

bool ref_bit(const Bytes& s, size_t bit) {
    return bit / 8 < s.size() && ((s[bit / 8] >> (bit % 8)) & 1);
}

struct Plain {
    int w, h, stride;
    Bytes mask, values;
    bool computed(int x, int y) const { return (mask[y * stride + x / 8] >> (x % 8)) & 1; }
};

Plain snapshot(MaskedImage& img) {
    img.unpack();
    Plain p{img.width(), img.height(), img.mask_stride(), {}, {}};
    p.mask.assign(img.mask(), img.mask() + size_t(p.stride) * p.h);
    p.values.assign(img.values(), img.values() + size_t(p.w) * p.h);
    return p;
}

Bytes ref_pack_values(const Plain& p) {
    const DeltaCodeEntry* code = delta_code();
    RefWriter wr;
    uint8_t prev = 0;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x)
            if (p.computed(x, y)) {
                const uint8_t v = p.values[y * p.w + x];
                const DeltaCodeEntry& e = code[uint8_t(v - prev)];
                wr.put(e.code, e.length);
                prev = v;
            }
    return wr.finish();
}

Bytes ref_pack_mask(const Plain& p) {
    RefWriter wr;
    uint8_t prev = 0;
    for (uint8_t b : p.mask) {
        if (b == prev) {
            wr.put(0, 1);
        } else {
            wr.put(b * 2u + 1u, 9);
            prev = b;
        }
    }
    return wr.finish();
}

// Unpacking read bit by bit, with the stop rule: nothing starts past byte
// size - 4. Bits past the width are then dropped.
Plain ref_unpack(int w, int h, const Bytes& pm, const Bytes& pv) {
    Plain p{w, h, MaskedImage::stride_for(w), {}, {}};
    p.mask.assign(size_t(p.stride) * h, 0);
    p.values.assign(size_t(w) * h, 0);
    const long last_m = long(pm.size()) - 4;
    size_t bit = 0;
    uint8_t prev = 0;
    for (size_t i = 0; i < p.mask.size() && long(bit / 8) <= last_m; ++i) {
        if (ref_bit(pm, bit++)) {
            prev = 0;
            for (int k = 0; k < 8; ++k) prev |= uint8_t(ref_bit(pm, bit++) << k);
        }
        p.mask[i] = prev;
    }
    for (int y = 0; y < h; ++y)
        for (int x = w; x < p.stride * 8; ++x) p.mask[y * p.stride + x / 8] &= ~(1u << (x % 8));

    std::vector<size_t> computed;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (p.computed(x, y)) computed.push_back(size_t(y) * w + x);
    const DeltaCodeEntry* code = delta_code();
    const long last_v = long(pv.size()) - 4;
    bit = 0;
    uint8_t v = 0;
    for (size_t c = 0; c < computed.size() && long(bit / 8) <= last_v; ++c) {
        int symbol = -1;
        for (int d = 0; d < 256 && symbol < 0; ++d) {
            bool match = true;
            for (int k = 0; k < code[d].length && match; ++k)
                match = ref_bit(pv, bit + k) == bool((code[d].code >> k) & 1);
            if (match) symbol = d;
        }
        bit += code[symbol].length;
        v = uint8_t(v + symbol);
        const size_t end = c + 1 < computed.size() ? computed[c + 1] : p.values.size();
        for (size_t i = computed[c]; i < end; ++i) p.values[i] = v;
    }
    return p;
}

MaskedImage make(int w, int h, const std::vector<std::pair<int, int>>& computed,
                 const std::vector<uint8_t>& values) {
    MaskedImage img(w, h);
    for (size_t i = 0; i < computed.size(); ++i) {
        img.mark_computed(computed[i].first, computed[i].second);
        img.values()[computed[i].second * w + computed[i].first] = values[i];
    }
    return img;
}

// Escape-time bytes of a view of the set's boundary, with a computed mask of
// the given kind: 0 all, 1 random, 2 boundaries only (as contour tracing
// leaves it), 3 blocks.
MaskedImage realistic(int w, int h, int kind, std::mt19937& rng) {
    MaskedImage img(w, h);
    uint8_t* values = img.values();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double cr = -0.75 + 0.1 * (x - w / 2.0) / w;
            const double ci = 0.1 - 0.1 * (y - h / 2.0) / w;
            double zr = 0, zi = 0;
            int n = 0;
            while (n < 300 && zr * zr + zi * zi <= 4) {
                const double t = zr * zr - zi * zi + cr;
                zi = 2 * zr * zi + ci;
                zr = t;
                ++n;
            }
            values[y * w + x] = n >= 300 ? 0 : uint8_t((n - 1) % 255 + 1);
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t v = values[y * w + x];
            bool on = true;
            if (kind == 1) on = rng() % 3 != 0;
            if (kind == 2)
                on = x == 0 || y == 0 || x == w - 1 || y == h - 1 || values[y * w + x - 1] != v ||
                     values[y * w + x + 1] != v || values[(y - 1) * w + x] != v ||
                     values[(y + 1) * w + x] != v;
            if (kind == 3) on = ((x / 13) + (y / 7)) % 2 == 0;
            if (on) img.mark_computed(x, y);
        }
    return img;
}

TEST(MaskedImage, NewImageIsClearAndSized) {
    for (int w = 1; w <= 8; ++w) EXPECT_EQ(MaskedImage::stride_for(w), 8);
    EXPECT_EQ(MaskedImage::stride_for(100), 20);
    EXPECT_EQ(MaskedImage::stride_for(640), 87);
    MaskedImage img(100, 100);
    EXPECT_FALSE(img.is_packed());
    EXPECT_EQ(img.mask_stride(), 20);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(img.mask()[i], 0);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(img.values()[i], 0);
    EXPECT_EQ(img.memory_size(), 36u + 2000u + 10000u);
}

TEST(MaskedImage, ThreePixelsOfFivePackToKnownStreams) {
    MaskedImage img = make(3, 1, {{0, 0}, {1, 0}, {2, 0}}, {5, 5, 5});
    img.pack();
    ASSERT_TRUE(img.is_packed());
    EXPECT_EQ(img.packed_values(), (Bytes{0x13, 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(img.packed_mask(), (Bytes{0x0F, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(img.memory_size(), 36u + 8u + 5u);
    img.unpack();
    EXPECT_FALSE(img.is_packed());
    EXPECT_EQ(Bytes(img.values(), img.values() + 3), (Bytes{5, 5, 5}));
    EXPECT_EQ(img.mask()[0], 0x07);
}

TEST(MaskedImage, UnpackRepeatsTheLastComputedValueForward) {
    MaskedImage img = make(4, 2, {{0, 0}, {2, 0}, {1, 1}}, {9, 7, 4});
    for (int i : {1, 3, 4, 6, 7}) img.values()[i] = 200;  // provisional values are not kept
    img.pack();
    img.unpack();
    EXPECT_EQ(Bytes(img.values(), img.values() + 8), (Bytes{9, 9, 7, 7, 7, 4, 4, 4}));
    EXPECT_TRUE(img.is_computed(0, 0));
    EXPECT_FALSE(img.is_computed(1, 0));
    EXPECT_TRUE(img.is_computed(1, 1));
}

TEST(MaskedImage, EmptyImagePacksToTails) {
    MaskedImage img(100, 100);
    for (int i = 0; i < 10000; ++i) img.values()[i] = uint8_t(i);  // uncomputed: not stored
    img.pack();
    EXPECT_EQ(img.packed_values(), Bytes(4, 0));
    EXPECT_EQ(img.packed_mask(), Bytes(254, 0));
    EXPECT_EQ(img.memory_size(), 36u + 2000u + 4u);
    img.pack();  // idempotent
    EXPECT_EQ(img.packed_mask().size(), 254u);
    img.unpack();
    img.unpack();
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(img.values()[i], 0);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(img.mask()[i], 0);
}

TEST(MaskedImage, DifferencesWrap) {
    MaskedImage img = make(2, 1, {{0, 0}, {1, 0}}, {1, 255});
    img.pack();
    const DeltaCodeEntry* code = delta_code();
    EXPECT_EQ(code[254].length, 5);
    // 4 bits for +1, 5 bits for 254 (that is -2): one byte and a tail.
    const uint32_t bits = uint32_t(code[1].code) | uint32_t(code[254].code) << 4;
    EXPECT_EQ(img.packed_values(), (Bytes{uint8_t(bits), uint8_t(bits >> 8), 0, 0, 0}));
    img.unpack();
    EXPECT_EQ(img.values()[0], 1);
    EXPECT_EQ(img.values()[1], 255);
}

// Byte-exact streams against a bit-by-bit writer, and the round trip against
// a bit-by-bit reader, over realistic content and awkward widths.
TEST(MaskedImage, PackMatchesReferenceAndRoundTrips) {
    std::mt19937 rng(17);
    for (int kind = 0; kind < 4; ++kind)
        for (auto [w, h] : {std::pair{64, 40}, {101, 37}, {7, 9}, {200, 3}}) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << " size " << w << "x" << h);
            MaskedImage img = realistic(w, h, kind, rng);
            const Plain before = snapshot(img);
            MaskedImage copy_unpacked(img);
            img.pack();
            ASSERT_EQ(img.packed_values(), ref_pack_values(before));
            ASSERT_EQ(img.packed_mask(), ref_pack_mask(before));
            const Plain expected = ref_unpack(w, h, img.packed_mask(), img.packed_values());
            MaskedImage copy_packed(img);
            EXPECT_TRUE(copy_packed.is_packed());
            EXPECT_FALSE(copy_unpacked.is_packed());
            for (MaskedImage* m : {&img, &copy_packed}) {
                const Plain after = snapshot(*m);
                ASSERT_EQ(after.mask, before.mask);
                ASSERT_EQ(after.values, expected.values);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        if (before.computed(x, y)) {
                            ASSERT_EQ(after.values[y * w + x], before.values[y * w + x]);
                        }
            }
        }
}

// Streams from a file can hold anything: decoding stays inside the buffers,
// matches the bit-by-bit reader, and never marks a pixel outside the rows.
TEST(MaskedImage, DamagedStreamsDecodeSafely) {
    std::mt19937 rng(5);
    for (int round = 0; round < 400; ++round) {
        const int w = 1 + int(rng() % 40);
        const int h = 1 + int(rng() % 6);
        Bytes pm(rng() % 48), pv(rng() % 48);
        for (auto& b : pm) b = uint8_t(rng() % 3 ? rng() : 0xFF);
        for (auto& b : pv) b = uint8_t(rng());
        const Plain expected = ref_unpack(w, h, pm, pv);
        MaskedImage img = MaskedImage::from_packed(w, h, pm, pv);
        EXPECT_TRUE(img.is_packed());
        EXPECT_EQ(img.memory_size(), 36u + uint32_t(expected.mask.size() + pv.size()));
        const Plain got = snapshot(img);
        ASSERT_EQ(got.mask, expected.mask) << round;
        ASSERT_EQ(got.values, expected.values) << round;
    }
}

// The same for fully computed rows, where values are decoded eight at a time
// until the end of the stream comes near.
TEST(MaskedImage, DamagedValuesOfFullRowsDecodeSafely) {
    std::mt19937 rng(9);
    for (int round = 0; round < 200; ++round) {
        const int w = 8 * (1 + int(rng() % 12));
        const int h = 1 + int(rng() % 8);
        MaskedImage full(w, h);
        std::memset(full.mask(), 0, size_t(full.mask_stride()) * h);
        for (int y = 0; y < h; ++y) std::memset(full.mask() + y * full.mask_stride(), 0xFF, w / 8);
        full.pack();
        Bytes pv(rng() % 160);
        for (auto& b : pv) b = uint8_t(rng() % 4 ? rng() % 4 : rng());
        const Plain expected = ref_unpack(w, h, full.packed_mask(), pv);
        MaskedImage img = MaskedImage::from_packed(w, h, full.packed_mask(), pv);
        const Plain got = snapshot(img);
        ASSERT_EQ(got.values, expected.values) << round;
    }
}

TEST(MaskedImage, StreamsShorterThanTheirTailHoldNothing) {
    for (size_t n = 0; n < 4; ++n) {
        MaskedImage img = MaskedImage::from_packed(16, 2, Bytes(n, 0xFF), Bytes(n, 0xFF));
        const Plain p = snapshot(img);
        EXPECT_EQ(p.mask, Bytes(size_t(MaskedImage::stride_for(16)) * 2, 0));
        EXPECT_EQ(p.values, Bytes(32, 0));
    }
    // A mask that marks pixels but a values stream too short to hold any.
    MaskedImage full(8, 1);
    full.mask()[0] = 0xFF;
    full.pack();
    MaskedImage img = MaskedImage::from_packed(8, 1, full.packed_mask(), Bytes{0x13, 0x05});
    const Plain p = snapshot(img);
    EXPECT_EQ(p.mask[0], 0xFF);
    EXPECT_EQ(p.values, Bytes(8, 0));
}

TEST(MaskedImage, TruncatedValuesStopAtTheLastLoadableByte) {
    // Sixteen pixels of value 1: 4 bits for the first, 2 for each repeat.
    MaskedImage img(16, 1);
    img.mask()[0] = img.mask()[1] = 0xFF;
    for (int i = 0; i < 16; ++i) img.values()[i] = 1;
    img.pack();
    Bytes pv = img.packed_values();
    ASSERT_EQ(pv.size(), 34u / 8 + 4);
    pv.resize(5);  // codes may now start in bytes 0 and 1 only
    MaskedImage cut = MaskedImage::from_packed(16, 1, img.packed_mask(), pv);
    const Plain p = snapshot(cut);
    // Codes start at bits 0, 4, 6, ..., 14; the one at bit 16 is not read.
    for (int i = 0; i < 16; ++i) EXPECT_EQ(p.values[i], i < 7 ? 1 : 0) << i;
    EXPECT_EQ(p.mask[0], 0xFF);
    EXPECT_EQ(p.mask[1], 0xFF);
}

TEST(MaskedImage, RunLengthForm) {
    // Computed: (1,0) (3,0) (0,1) (1,1) (2,1) (3,1) (5,1); 6 x 2 image.
    Bytes mask(size_t(MaskedImage::stride_for(6)) * 2, 0);
    mask[0] = 0b001010;
    mask[8] = 0b101111;
    // Run of 3 of 0x45 (a value in the run range), single 9, run of 2 of 7.
    const Bytes rl = {0x42, 0x45, 9, 0x41, 7};
    MaskedImage img = MaskedImage::from_run_length(6, 2, mask, rl.data(), rl.size());
    EXPECT_TRUE(img.is_packed());
    const Plain p = snapshot(img);
    EXPECT_EQ(p.mask, mask);
    // Pixels 1, 3, 6 take the run, 7 the single 9, 8 and 9 the second run
    // (10 repeats it); nothing is left for pixel 11.
    EXPECT_EQ(p.values, (Bytes{0, 0x45, 0x45, 0x45, 0x45, 0x45, 0x45, 9, 7, 7, 7, 0}));

    // A run byte at the very end ends decoding; the rest stays 0.
    const Bytes cut = {3, 0x5F};
    MaskedImage img2 = MaskedImage::from_run_length(6, 2, mask, cut.data(), cut.size());
    EXPECT_EQ(snapshot(img2).values, (Bytes{0, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    // A run longer than the pixels left never writes past the last pixel,
    // and a short mask is padded rather than read past.
    const Bytes big = {0x5F, 4, 0x5F, 6};
    MaskedImage img3 = MaskedImage::from_run_length(6, 2, Bytes{0xFF}, big.data(), big.size());
    EXPECT_EQ(snapshot(img3).values, (Bytes{4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}));
    EXPECT_EQ(snapshot(img3).mask[0], 0x3F);  // bits past the width dropped

    MaskedImage img4 = MaskedImage::from_run_length(6, 2, mask, nullptr, 0);
    EXPECT_EQ(snapshot(img4).values, Bytes(12, 0));
}

// Reference shift: each pixel takes the one dx, dy further on, or nothing;
// for dx > 0 the bits from the byte holding column w - dx onwards are dropped.
Plain ref_shift(const Plain& p, int dx, int dy) {
    Plain r = p;
    std::fill(r.mask.begin(), r.mask.end(), 0);
    std::fill(r.values.begin(), r.values.end(), 0);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const int sx = x + dx, sy = y + dy;
            if (sx < 0 || sy < 0 || sx >= p.w || sy >= p.h) continue;
            r.values[y * p.w + x] = p.values[sy * p.w + sx];
            const bool dropped = dx > 0 && x >= (p.w - dx) / 8 * 8;
            if (p.computed(sx, sy) && !dropped)
                r.mask[y * p.stride + x / 8] |= uint8_t(1 << (x % 8));
        }
    return r;
}

TEST(MaskedImage, ShiftMovesContentsAndClearsWhatEnters) {
    std::mt19937 rng(3);
    for (int w : {100, 64, 13}) {
        const int h = 11;
        MaskedImage base = realistic(w, h, 1, rng);
        for (int dx = -(w - 1) / 8 * 8; dx < w; dx += 8)
            for (int dy : {0, 1, -1, 5, -10, 10}) {
                SCOPED_TRACE(testing::Message() << w << " " << dx << " " << dy);
                MaskedImage img(base);
                const Plain expected = ref_shift(snapshot(img), dx, dy);
                img.shift(dx, dy);
                const Plain got = snapshot(img);
                ASSERT_EQ(got.mask, expected.mask);
                ASSERT_EQ(got.values, expected.values);
            }
    }
    // Columns 88 to 91 land in 96 to 99 and stay computed.
    MaskedImage img(100, 2);
    for (int x = 88; x < 100; ++x) img.mark_computed(x, 1);
    img.pack();
    img.shift(-8, 0);  // unpacks first
    for (int x = 96; x < 100; ++x) EXPECT_TRUE(img.is_computed(x, 1)) << x;
    EXPECT_EQ(img.mask()[1 * 20 + 12], 0x0F);
    EXPECT_EQ(img.mask()[1 * 20 + 13], 0);
}

TEST(MaskedImage, FillsRespectComputedBits) {
    MaskedImage img(20, 10);
    img.mark_computed(5, 5);
    img.mark_computed(12, 2);
    img.fill_box(Box{2, 2, 17, 6}, 9);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool inside = x >= 2 && x <= 17 && y >= 2 && y <= 6;
            const bool computed = (x == 5 && y == 5) || (x == 12 && y == 2);
            ASSERT_EQ(img.values()[y * 20 + x], inside && !computed ? 9 : 0) << x << "," << y;
        }

    MaskedImage edges(20, 10);
    edges.mark_computed(3, 1);
    edges.mark_computed(9, 4);
    edges.fill_edges(Box{3, 1, 9, 6}, 7);
    int written = 0;
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool border =
                x >= 3 && x <= 9 && y >= 1 && y <= 6 && (x == 3 || x == 9 || y == 1 || y == 6);
            const bool computed = (x == 3 && y == 1) || (x == 9 && y == 4);
            ASSERT_EQ(edges.values()[y * 20 + x], border && !computed ? 7 : 0) << x << "," << y;
            written += edges.values()[y * 20 + x] == 7;
        }
    EXPECT_EQ(written, 2 * 7 + 2 * 4 - 2);

    MaskedImage inner(20, 10);
    inner.mark_computed(4, 3);
    EXPECT_EQ(inner.fill_interior(Box{2, 2, 6, 5}, 3), 3 * 2);
    EXPECT_EQ(inner.fill_interior(Box{10, 2, 11, 8}, 4), 0);  // x1 = x0 + 1
    EXPECT_EQ(inner.fill_interior(Box{10, 2, 16, 3}, 4), 0);  // y1 = y0 + 1
    EXPECT_EQ(inner.fill_interior(Box{10, 2, 10, 8}, 4), 0);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(inner.values()[y * 20 + x], x >= 3 && x <= 5 && y >= 3 && y <= 4 ? 3 : 0);
    EXPECT_TRUE(inner.is_computed(4, 3));

    MaskedImage spans(20, 3);
    spans.mark_computed(1, 1);
    const Span list[] = {{0, 4, 1}, {18, 25, 2}, {5, 5, 0}, {-3, 2, 0}, {0, 20, 7}};
    spans.fill_spans(list, 5, 6);
    const Bytes expected_rows = {6, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 6, 6, 6, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6, 6};
    EXPECT_EQ(Bytes(spans.values(), spans.values() + 60), expected_rows);
    EXPECT_TRUE(spans.is_computed(1, 1));

    // Boxes reaching past the image are clipped.
    MaskedImage clip(10, 4);
    clip.fill_box(Box{-5, -5, 30, 30}, 1);
    clip.fill_edges(Box{-2, -1, 12, 5}, 2);
    EXPECT_EQ(clip.fill_interior(Box{-3, -3, 20, 20}, 3), 40);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(clip.values()[i], 3);
}

TEST(MaskedImage, ClearMaskKeepsValues) {
    MaskedImage img = make(9, 2, {{8, 1}, {0, 0}}, {4, 5});
    img.pack();
    img.clear_mask();
    EXPECT_FALSE(img.is_packed());
    EXPECT_FALSE(img.is_computed(8, 1));
    EXPECT_FALSE(img.is_computed(0, 0));
    EXPECT_EQ(img.values()[0], 5);
    EXPECT_EQ(img.values()[17], 4);
    EXPECT_EQ(img.values_for_use()[17], 4);
}

}  // namespace

}  // namespace quorvel
