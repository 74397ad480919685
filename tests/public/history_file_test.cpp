// History files through the public interface: exact layout, golden files,
// round trips, the older storage form, damaged files and failed saves.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "public_test_util.h"

namespace {

using qvtest::ContextGuard;
using Bytes = std::vector<uint8_t>;

// A fresh folder per test, removed with everything in it.
class TempDir {
public:
    TempDir() {
        // Memory-backed when available: the damage tests write thousands of files.
        std::string tmpl = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/qv_history_XXXXXX"
                                                           : "/tmp/qv_history_XXXXXX";
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        if (DIR* d = ::opendir(path_.c_str())) {
            while (dirent* e = ::readdir(d))
                if (e->d_name[0] != '.') out.push_back(e->d_name);
            ::closedir(d);
        }
        return out;
    }

private:
    std::string path_;
};

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

uint32_t get_u32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
void put_u32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
float get_f32(const Bytes& b, size_t at) {
    const uint32_t u = get_u32(b, at);
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}
double get_f64(const Bytes& b, size_t at) {
    const uint64_t u = uint64_t(get_u32(b, at)) | uint64_t(get_u32(b, at + 4)) << 32;
    double d;
    std::memcpy(&d, &u, 8);
    return d;
}
std::string text_at(const Bytes& b, size_t at, size_t n) {
    return std::string(reinterpret_cast<const char*>(b.data()) + at, n);
}

// Offsets of the fixed header and of one history entry's fields.
constexpr size_t kLimitAt = 21, kCapacityAt = 25, kCurrentAt = 29, kLastAt = 33, kPreviewAt = 37,
                 kGammaAt = 38, kSpeedAt = 42, kPaletteAt = 46, kFirstEntryAt = 814;
// Relative to an entry's "HistEntry\n" tag.
constexpr size_t kWidthRel = 15, kSsRel = 23, kTypeRel = 27, kTimeRel = 39, kFinishedRel = 43,
                 kFractalRel = 45, kViewRel = 53;
// Relative to a view section (after "Fractal\n").
constexpr size_t kStepXRel = 133, kViewWidthRel = 157, kIterRel = 165, kComputedRel = 169,
                 kStorageTagRel = 173;

struct EntryAt {
    size_t start;    // "HistEntry\n"
    size_t view;     // view section
    size_t storage;  // storage section ("v001\n"), or 0
    size_t end;
};

// Walks a file written by this engine (storage version 1 only).
std::vector<EntryAt> walk(const Bytes& b) {
    std::vector<EntryAt> out;
    const int32_t last = static_cast<int32_t>(get_u32(b, kLastAt));
    size_t at = kFirstEntryAt;
    for (int32_t i = 0; i <= last; ++i) {
        EntryAt e{at, at + kViewRel, 0, 0};
        at = e.view + kStorageTagRel;
        if (text_at(b, at, 12) == "MaskedImage\n") {
            e.storage = at + 12;
            at = e.storage + 21 + get_u32(b, e.storage + 17) + get_u32(b, e.storage + 13);
        } else {
            at += 5;
        }
        e.end = at;
        out.push_back(e);
    }
    return out;
}

void set_ramp_palette(qv_handle h) {
    unsigned char rgb[768];
    for (int i = 0; i < 768; ++i) rgb[i] = static_cast<unsigned char>(i * 7 + 3);
    qv_set_palette(h, rgb);
}

// A small history whose pixels do not depend on timing: three computed views
// (one at supersampling 2 with a raised limit, one by box matching) and one
// unrefined view ahead of the current one.
void build_history(qv_handle h, bool value_palette) {
    if (value_palette)
        qvtest::set_value_palette(h);
    else
        set_ramp_palette(h);
    qv_set_image_properties(h, 40, 30, 1, 2.0f);
    qvtest::refine_to_end(h);
    qv_zoom_on_window_coord(h, 12, 9, 2.0f);
    qv_set_generator_type(h, 1);
    qvtest::refine_to_end(h);
    qv_zoom_on_window_coord(h, 30, 20, 3.0f);
    qv_set_image_properties(h, 40, 30, 2, -1.0f);
    qv_adjust_maximum_iterations(h, 2.0f);
    qvtest::refine_to_end(h);
    qv_zoom_centered(h, 2.0f);
    qv_history_back(h);
    qv_toggle_preview(h);
}

// What a load must not disturb when it fails: the view, its settings and the
// picture of the current entry, and the depth of the history.
struct Fingerprint {
    int width, height;
    unsigned iterations;
    char x[64], y[64];
    double radius;
    Bytes picture;
    float progress;
    bool operator==(const Fingerprint& o) const {
        return width == o.width && height == o.height && iterations == o.iterations &&
               std::strcmp(x, o.x) == 0 && std::strcmp(y, o.y) == 0 && radius == o.radius &&
               picture == o.picture && progress == o.progress;
    }
};

Fingerprint fingerprint(qv_handle h) {
    Fingerprint f{};
    f.width = qv_get_image_width(h);
    f.height = qv_get_image_height(h);
    f.iterations = qv_get_maximum_iterations(h);
    qv_get_view_params_as_text(h, f.x, f.y, &f.radius);
    const unsigned char* rgb = qv_get_rgb_image(h);
    f.picture.assign(rgb, rgb + size_t(f.width) * f.height * 3);
    f.progress = qv_get_progress(h);
    return f;
}

// The state of every entry, read by stepping through the history.
struct EntryState {
    Fingerprint view;
    float cleverness, progress, time;
};

std::vector<EntryState> walk_history(qv_handle h) {
    int steps_back = 0;
    while (qv_history_back(h)) ++steps_back;
    std::vector<EntryState> out;
    do {
        out.push_back(
            {fingerprint(h), qv_get_cleverness(h), qv_get_progress(h), qv_get_time_spent(h)});
    } while (qv_history_forward(h));
    // Back to the entry that was current.
    for (int i = static_cast<int>(out.size()) - 1; i > steps_back; --i) qv_history_back(h);
    return out;
}

std::string golden(const char* name) { return std::string(QV_TEST_DATA_DIR) + "/" + name; }

// Set QV_WRITE_GOLDEN=1 to rewrite the golden files from the current engine.
bool writing_golden() { return std::getenv("QV_WRITE_GOLDEN") != nullptr; }

TEST(HistoryFile, FreshContextHasTheExactLayout) {
    TempDir dir;
    ContextGuard h(32);
    set_ramp_palette(h);
    const std::string path = dir.file("fresh.qvh");
    ASSERT_TRUE(qv_save_all(h, path.c_str()));
    const Bytes b = read_bytes(path);
    ASSERT_EQ(b.size(), 1045u);

    EXPECT_EQ(text_at(b, 0, 21), "quorvel\nContext\nv000\n");
    EXPECT_EQ(get_u32(b, kLimitAt), 32u * 1048576u);
    EXPECT_EQ(get_u32(b, kCapacityAt), 256u);
    EXPECT_EQ(get_u32(b, kCurrentAt), 0u);
    EXPECT_EQ(get_u32(b, kLastAt), 0u);
    EXPECT_EQ(b[kPreviewAt], 1);
    EXPECT_EQ(get_f32(b, kGammaAt), 1.75f);
    EXPECT_EQ(get_f32(b, kSpeedAt), 0.0f);
    for (int i = 0; i < 768; ++i) ASSERT_EQ(b[kPaletteAt + i], uint8_t(i * 7 + 3)) << i;

    const size_t e = kFirstEntryAt;
    EXPECT_EQ(text_at(b, e, 15), "HistEntry\nv000\n");
    EXPECT_EQ(get_u32(b, e + kWidthRel), 100u);
    EXPECT_EQ(get_u32(b, e + kWidthRel + 4), 100u);
    EXPECT_EQ(get_u32(b, e + kSsRel), 1u);
    EXPECT_EQ(get_u32(b, e + kTypeRel), 0u);
    for (size_t k = 31; k < 45; ++k) EXPECT_EQ(b[e + k], 0) << k;  // statistics and flags
    EXPECT_EQ(text_at(b, e + kFractalRel, 13), "Fractal\nv000\n");

    const size_t v = e + kViewRel;
    for (size_t k = 5; k < 69; ++k) EXPECT_EQ(b[v + k], 0) << k;  // centre 0 + 0i
    // origin_x = -2: top significand bit, exponent 1, sign word 1.
    EXPECT_EQ(get_u32(b, v + 69 + 20), 0x80000000u);
    EXPECT_EQ(get_u32(b, v + 69 + 24), 1u);
    EXPECT_EQ(get_u32(b, v + 69 + 28), 1u);
    // origin_y = +2.
    EXPECT_EQ(get_u32(b, v + 101 + 20), 0x80000000u);
    EXPECT_EQ(get_u32(b, v + 101 + 24), 1u);
    EXPECT_EQ(get_u32(b, v + 101 + 28), 0u);
    EXPECT_EQ(get_f64(b, v + kStepXRel), 0.04);
    EXPECT_EQ(get_f64(b, v + kStepXRel + 8), -0.04);
    EXPECT_EQ(get_f64(b, v + kStepXRel + 16), 2.0);
    EXPECT_EQ(get_u32(b, v + kViewWidthRel), 100u);
    EXPECT_EQ(get_u32(b, v + kViewWidthRel + 4), 100u);
    EXPECT_EQ(get_u32(b, v + kIterRel), 150u);
    EXPECT_EQ(get_u32(b, v + kComputedRel), 0u);
    EXPECT_EQ(text_at(b, v + kStorageTagRel, 5), "NULL\n");
}

// The minimum file holds no timing, so a fresh history reproduces it exactly.
// The full file differs from run to run only in the time spent per entry.
TEST(HistoryFile, GoldenFilesMatchByteForByte) {
    TempDir dir;
    ContextGuard h(32);
    build_history(h, false);
    qv_set_palette_cycling_speed(h, 3.5f);
    const std::string full = dir.file("full.qvh"), minimum = dir.file("minimum.qvh");
    ASSERT_TRUE(qv_save_all(h, full.c_str()));
    ASSERT_TRUE(qv_save_minimum(h, minimum.c_str()));
    Bytes made_full = read_bytes(full);
    const Bytes made_minimum = read_bytes(minimum);
    if (writing_golden()) {
        write_bytes(golden("history_full.qvh"), made_full);
        write_bytes(golden("history_minimum.qvh"), made_minimum);
    }
    const Bytes gold_full = read_bytes(golden("history_full.qvh"));
    const Bytes gold_minimum = read_bytes(golden("history_minimum.qvh"));
    ASSERT_FALSE(gold_full.empty()) << "missing golden file; run with QV_WRITE_GOLDEN=1";
    EXPECT_EQ(made_minimum, gold_minimum);

    ASSERT_EQ(made_full.size(), gold_full.size());
    const std::vector<EntryAt> entries = walk(gold_full);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_NE(entries[0].storage, 0u);
    EXPECT_EQ(entries[3].storage, 0u);  // never refined
    for (const EntryAt& e : entries)
        std::memcpy(&made_full[e.start + kTimeRel], &gold_full[e.start + kTimeRel], 4);
    EXPECT_EQ(made_full, gold_full);

    // Loading a golden file and saving it again gives the same bytes: every
    // field, palette and stream is taken over unchanged.
    for (const char* name : {"history_full.qvh", "history_minimum.qvh"}) {
        ContextGuard other(32);
        ASSERT_TRUE(qv_load(other, golden(name).c_str())) << name;
        const std::string again = dir.file("again.qvh");
        const bool is_full = std::strcmp(name, "history_full.qvh") == 0;
        ASSERT_TRUE(is_full ? qv_save_all(other, again.c_str())
                            : qv_save_minimum(other, again.c_str()));
        EXPECT_EQ(read_bytes(again), read_bytes(golden(name))) << name;
    }
}

TEST(HistoryFile, FullRoundTripRestoresEveryView) {
    TempDir dir;
    ContextGuard h(32);
    build_history(h, true);
    const std::vector<EntryState> before = walk_history(h);
    ASSERT_EQ(before.size(), 4u);
    const std::string path = dir.file("all.qvh");
    ASSERT_TRUE(qv_save_all(h, path.c_str()));

    ContextGuard other(32);
    ASSERT_TRUE(qv_load(other, path.c_str()));
    const std::vector<EntryState> after = walk_history(other);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_TRUE(after[i].view == before[i].view) << "entry " << i;
        EXPECT_EQ(after[i].cleverness, before[i].cleverness) << i;
        EXPECT_EQ(after[i].progress, before[i].progress) << i;
        EXPECT_EQ(after[i].time, before[i].time) << i;
    }
    // The current entry is the third one and it is finished: nothing to do.
    EXPECT_TRUE(fingerprint(other) == before[2].view);
    EXPECT_FALSE(qv_refine_image(other));
    EXPECT_TRUE(qv_history_forward(other));
    EXPECT_FALSE(qv_history_forward(other));
}

TEST(HistoryFile, MinimumRoundTripRecomputesThePixels) {
    TempDir dir;
    ContextGuard h(32);
    build_history(h, true);
    const std::vector<EntryState> before = walk_history(h);
    const std::string path = dir.file("min.qvh");
    ASSERT_TRUE(qv_save_minimum(h, path.c_str()));

    ContextGuard other(32);
    ASSERT_TRUE(qv_load(other, path.c_str()));
    EXPECT_TRUE(qv_toggle_preview(other));  // the originals were computed with preview
    while (qv_history_back(other)) {
    }
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(qv_get_progress(other), 0.0f) << i;
        EXPECT_EQ(qv_get_time_spent(other), 0.0f) << i;
        if (i < 3) {
            EXPECT_GT(qvtest::refine_to_end(other), 0) << i;
            EXPECT_TRUE(fingerprint(other) == before[i].view) << "entry " << i;
        }
        if (i + 1 < before.size()) {
            ASSERT_TRUE(qv_history_forward(other));
        }
    }
}

// The older storage form: the unpacked mask and run-length values.
TEST(HistoryFile, ReadsVersionZeroStorage) {
    TempDir dir;
    ContextGuard h(32);
    qvtest::set_value_palette(h);
    qv_set_image_properties(h, 20, 10, 1, -1.0f);
    qvtest::refine_to_end(h);
    const std::string path = dir.file("v1.qvh");
    ASSERT_TRUE(qv_save_all(h, path.c_str()));
    Bytes b = read_bytes(path);
    const EntryAt e = walk(b)[0];

    // Every third pixel is left uncomputed; values wander across 0x40..0x5F so
    // both literal bytes and runs are needed.
    const int w = 20, ht = 10, stride = (w + 63) / 8;
    Bytes mask(size_t(stride) * ht, 0);
    std::vector<uint8_t> computed;
    Bytes expected(size_t(w) * ht);
    uint8_t last = 0;
    for (int i = 0; i < w * ht; ++i) {
        if (i % 3 != 1) {
            mask[size_t(i / w) * stride + (i % w) / 8] |= uint8_t(1u << (i % w % 8));
            last = uint8_t(0x38 + (i / 7) % 40);
            computed.push_back(last);
        }
        expected[size_t(i)] = last;
    }
    Bytes runs;
    for (size_t i = 0; i < computed.size();) {
        size_t n = 1;
        while (i + n < computed.size() && n < 32 && computed[i + n] == computed[i]) ++n;
        if (n > 1 || (computed[i] & 0xE0) == 0x40) {
            runs.push_back(uint8_t(0x40 | (n - 1)));
            runs.push_back(computed[i]);
        } else {
            runs.push_back(computed[i]);
        }
        i += n;
    }
    Bytes v0 = {'v', '0', '0', '0', '\n'};
    for (uint32_t word : {uint32_t(w), uint32_t(ht), uint32_t(runs.size())})
        for (int k = 0; k < 4; ++k) v0.push_back(uint8_t(word >> (8 * k)));
    v0.insert(v0.end(), mask.begin(), mask.end());
    v0.insert(v0.end(), runs.begin(), runs.end());
    Bytes file(b.begin(), b.begin() + long(e.storage));
    file.insert(file.end(), v0.begin(), v0.end());
    write_bytes(path, file);

    ContextGuard other(32);
    qvtest::set_value_palette(other);
    ASSERT_TRUE(qv_load(other, path.c_str()));
    EXPECT_EQ(qvtest::read_values(other), expected);

    // Saving it writes the current form, which reads back to the same values.
    ASSERT_TRUE(qv_save_all(other, path.c_str()));
    EXPECT_EQ(text_at(read_bytes(path), e.storage, 5), "v001\n");
    ContextGuard third(32);
    ASSERT_TRUE(qv_load(third, path.c_str()));
    EXPECT_EQ(qvtest::read_values(third), expected);
}

TEST(HistoryFile, TakesOverALargerBudgetOnlyWhenTheHistoryNeedsIt) {
    TempDir dir;
    // Four uncomputed 1000 x 1000 views: their coordinate tables alone take
    // more than a quarter of 1 MiB once loaded.
    ContextGuard small(1);
    qv_set_image_properties(small, 1000, 1000, 1, -1.0f);
    for (int i = 0; i < 4; ++i) qv_zoom_centered(small, 2.0f);
    const std::string path = dir.file("budget.qvh"), again = dir.file("again.qvh");
    ASSERT_TRUE(qv_save_minimum(small, path.c_str()));

    auto limit_after_load = [&](int megabytes) {
        ContextGuard h(megabytes);
        EXPECT_TRUE(qv_load(h, path.c_str()));
        EXPECT_TRUE(qv_save_minimum(h, again.c_str()));
        return get_u32(read_bytes(again), kLimitAt);
    };
    EXPECT_EQ(limit_after_load(0), 1048576u);       // needed and larger: taken over
    EXPECT_EQ(limit_after_load(2), 2u * 1048576u);  // smaller than the context's

    // A 16 MiB limit is larger but not needed by the history.
    Bytes b = read_bytes(path);
    put_u32(b, kLimitAt, 16u * 1048576u);
    write_bytes(path, b);
    EXPECT_EQ(limit_after_load(0), 0u);
}

// A failed load leaves the context as it was; every truncation of a valid
// file fails.
TEST(HistoryFile, EveryTruncationFailsAndKeepsTheHistory) {
    TempDir dir;
    ContextGuard source(32);
    build_history(source, true);
    const std::string path = dir.file("src.qvh"), cut = dir.file("cut.qvh");
    ASSERT_TRUE(qv_save_all(source, path.c_str()));
    const Bytes b = read_bytes(path);

    ContextGuard h(32);
    qvtest::set_value_palette(h);
    qv_set_image_properties(h, 24, 16, 1, -1.0f);
    qvtest::refine_to_end(h);
    qv_zoom_centered(h, 3.0f);
    qvtest::refine_to_end(h);
    const Fingerprint kept = fingerprint(h);
    testing::internal::CaptureStdout();  // "Puke!" for cuts inside a storage line
    for (size_t n = 0; n < b.size(); ++n) {
        write_bytes(cut, Bytes(b.begin(), b.begin() + long(n)));
        ASSERT_FALSE(qv_load(h, cut.c_str())) << n;
        ASSERT_TRUE(fingerprint(h) == kept) << n;
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(qv_history_back(h));
    EXPECT_FALSE(qv_history_back(h));
    EXPECT_FALSE(qv_refine_image(h));
}

TEST(HistoryFile, RandomDamageLoadsOrFailsCleanly) {
    TempDir dir;
    ContextGuard source(32);
    build_history(source, true);
    const std::string path = dir.file("src.qvh"), bad = dir.file("bad.qvh");
    ASSERT_TRUE(qv_save_all(source, path.c_str()));
    const Bytes b = read_bytes(path);

    ContextGuard h(32);
    ASSERT_TRUE(qv_load(h, path.c_str()));
    std::mt19937 rng(12345);
    int loaded = 0;
    testing::internal::CaptureStdout();
    for (int round = 0; round < 1000; ++round) {
        Bytes d = b;
        const int flips = 1 + int(rng() % 4);
        for (int k = 0; k < flips; ++k) d[rng() % d.size()] ^= uint8_t(1u << (rng() % 8));
        write_bytes(bad, d);
        const Fingerprint kept = fingerprint(h);
        if (qv_load(h, bad.c_str())) {
            ++loaded;
            // Whatever was accepted must be usable.
            fingerprint(h);
            qv_history_back(h);
            fingerprint(h);
            ASSERT_TRUE(qv_load(h, path.c_str()));
        } else {
            ASSERT_TRUE(fingerprint(h) == kept) << round;
        }
    }
    testing::internal::GetCapturedStdout();
    // Flips in pixel streams and statistics are harmless; most others are not.
    EXPECT_GT(loaded, 0);
}

TEST(HistoryFile, RejectsAbsurdAndInconsistentFields) {
    TempDir dir;
    ContextGuard source(32);
    qv_set_image_properties(source, 20, 10, 1, -1.0f);
    qvtest::refine_to_end(source);
    const std::string path = dir.file("src.qvh"), bad = dir.file("bad.qvh");
    ASSERT_TRUE(qv_save_all(source, path.c_str()));
    const Bytes good = read_bytes(path);
    const EntryAt e = walk(good)[0];
    ASSERT_NE(e.storage, 0u);

    ContextGuard h(32);
    const Fingerprint kept = fingerprint(h);
    auto rejects = [&](const char* what, auto&& damage) {
        Bytes d = good;
        damage(d);
        write_bytes(bad, d);
        EXPECT_FALSE(qv_load(h, bad.c_str())) << what;
        EXPECT_TRUE(fingerprint(h) == kept) << what;
    };
    const size_t view = e.view, storage = e.storage;
    rejects("capacity 0", [&](Bytes& d) { put_u32(d, kCapacityAt, 0); });
    rejects("capacity 65537", [&](Bytes& d) { put_u32(d, kCapacityAt, 65537); });
    rejects("last beyond capacity", [&](Bytes& d) {
        put_u32(d, kCapacityAt, 1);
        put_u32(d, kLastAt, 1);
    });
    rejects("huge last", [&](Bytes& d) { put_u32(d, kLastAt, 0x7FFFFFFF); });
    rejects("current beyond last", [&](Bytes& d) { put_u32(d, kCurrentAt, 1); });
    rejects("negative current", [&](Bytes& d) { put_u32(d, kCurrentAt, 0xFFFFFFFF); });
    rejects("zero gamma", [&](Bytes& d) { put_u32(d, kGammaAt, 0); });
    rejects("preview byte 2", [&](Bytes& d) { d[kPreviewAt] = 2; });
    rejects("entry version", [&](Bytes& d) { d[e.start + 13] = '1'; });
    rejects("zero width", [&](Bytes& d) { put_u32(d, e.start + kWidthRel, 0); });
    rejects("supersampling 9", [&](Bytes& d) { put_u32(d, e.start + kSsRel, 9); });
    rejects("generator type 3", [&](Bytes& d) { put_u32(d, e.start + kTypeRel, 3); });
    rejects("finished byte 7", [&](Bytes& d) { d[e.start + kFinishedRel] = 7; });
    rejects("entry without a view", [&](Bytes& d) {
        d.erase(d.begin() + long(e.start + kFractalRel), d.end());
        const char* null = "NULL\n";
        d.insert(d.end(), null, null + 5);
    });
    rejects("view version", [&](Bytes& d) { d[view + 3] = '1'; });
    rejects("view size not entry size", [&](Bytes& d) { put_u32(d, view + kViewWidthRel, 21); });
    rejects("grid wider than 32767", [&](Bytes& d) {
        put_u32(d, e.start + kWidthRel, 4096);
        put_u32(d, e.start + kSsRel, 8);
        put_u32(d, view + kViewWidthRel, 32768);
        put_u32(d, view + kViewWidthRel + 4, 80);
        put_u32(d, storage + 5, 32768);
        put_u32(d, storage + 9, 80);
    });
    rejects("infinite step", [&](Bytes& d) { put_u32(d, view + kStepXRel + 4, 0x7FF00000); });
    rejects("iteration limit 1", [&](Bytes& d) { put_u32(d, view + kIterRel, 1); });
    rejects("computed count beyond pixels",
            [&](Bytes& d) { put_u32(d, view + kComputedRel, 201); });
    rejects("storage size not view size", [&](Bytes& d) { put_u32(d, storage + 9, 11); });
    rejects("values larger than the file", [&](Bytes& d) { put_u32(d, storage + 13, 0xFFFFFFF0); });
    rejects("mask larger than the file", [&](Bytes& d) { put_u32(d, storage + 17, 0xFFFFFFF0); });
    rejects("unknown storage version", [&](Bytes& d) { d[storage + 3] = '2'; });
    rejects("trailing byte", [&](Bytes& d) { d.push_back(0); });
    rejects("wrong magic", [&](Bytes& d) { d[0] = 'Q'; });

    testing::internal::CaptureStdout();
    rejects("malformed storage line", [&](Bytes& d) { d[storage + 4] = 'x'; });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Puke!\n");

    // A one-slot history is unusual but sound.
    Bytes one = good;
    put_u32(one, kCapacityAt, 1);
    write_bytes(bad, one);
    ASSERT_TRUE(qv_load(h, bad.c_str()));
    qv_zoom_centered(h, 2.0f);
    EXPECT_FALSE(qv_history_back(h));
}

TEST(HistoryFile, FailedSavesKeepTheExistingFile) {
    TempDir dir;
    ContextGuard h(32);
    build_history(h, true);
    const std::string target = dir.file("kept.qvh");
    ContextGuard fresh(32);
    ASSERT_TRUE(qv_save_minimum(fresh, target.c_str()));
    ::chmod(target.c_str(), 0640);
    const Bytes original = read_bytes(target);

    EXPECT_FALSE(qv_save_all(h, dir.file("missing/x.qvh").c_str()));
    EXPECT_FALSE(qv_save_all(h, (target + "/x.qvh").c_str()));  // a folder that is a file
    EXPECT_FALSE(qv_save_all(h, dir.path().c_str()));           // a folder as target
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(qv_save_all(h, fifo.c_str()));  // never replaces what is not a file
    struct stat st;
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // A full disk: the file size limit makes a write fail part way.
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved;
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved_ok = qv_save_all(h, target.c_str());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(read_bytes(target), original);

    // A folder that may not be written (only where permissions apply).
    const std::string locked = dir.file("locked");
    ::mkdir(locked.c_str(), 0755);
    const std::string inside = locked + "/kept.qvh";
    ASSERT_TRUE(qv_save_minimum(fresh, inside.c_str()));
    ::chmod(locked.c_str(), 0555);
    if (::access(locked.c_str(), W_OK) != 0) {
        EXPECT_FALSE(qv_save_all(h, inside.c_str()));
        EXPECT_EQ(read_bytes(inside), original);
    }
    ::chmod(locked.c_str(), 0755);

    // No temporary file is left behind by any of the failures.
    std::vector<std::string> names = dir.names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kept.qvh", "locked", "pipe"}));

    // A successful save replaces the file and keeps its permissions.
    ASSERT_TRUE(qv_save_all(h, target.c_str()));
    EXPECT_NE(read_bytes(target), original);
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(dir.names().size(), 3u);

    // Saving through a symbolic link writes the file it points to.
    const std::string link = dir.file("link.qvh");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_TRUE(qv_save_minimum(fresh, link.c_str()));
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_bytes(target), original);
}

TEST(HistoryFile, UnknownHandlesAndPaths) {
    EXPECT_FALSE(qv_save_all(nullptr, "/tmp/x.qvh"));
    EXPECT_FALSE(qv_load(nullptr, "/tmp/x.qvh"));
    ContextGuard h(32);
    const Fingerprint kept = fingerprint(h);
    EXPECT_FALSE(qv_save_minimum(h, nullptr));
    EXPECT_FALSE(qv_load(h, nullptr));
    EXPECT_FALSE(qv_load(h, "/nonexistent/file.qvh"));
    EXPECT_FALSE(qv_load(h, "/tmp"));
    EXPECT_FALSE(qv_load(h, "/dev/zero"));
    EXPECT_TRUE(fingerprint(h) == kept);
}

}  // namespace
