// History files through the public interface: exact layout, golden files,
// round trips, the older storage form, damaged files and failed saves.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "public_test_util.h"

namespace {

namespace fs = std::filesystem;
using qvtest::ContextGuard;
using Bytes = std::vector<uint8_t>;

// A fresh folder per test; memory-backed when available, as the damage test
// writes thousands of files.
struct TempDir : qvtest::TempDir {
    TempDir() : qvtest::TempDir("qvh", Where::memory) {}
};

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
void write_bytes(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}
void put(Bytes& b, size_t at, uint32_t v, int size = 4) {
    for (int i = 0; i < size; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// Header fields, the first entry, its view and, when it holds pixels, its storage.
constexpr size_t kLimitAt = 21, kCapacityAt = 25, kCurrentAt = 29, kLastAt = 33, kPreviewAt = 37,
                 kGammaAt = 38, kEntryAt = 814, kViewAt = kEntryAt + 53, kStorageAt = kViewAt + 185;

void set_ramp_palette(qv_handle h) {
    unsigned char rgb[768];
    for (int i = 0; i < 768; ++i) rgb[i] = static_cast<unsigned char>(i * 7 + 3);
    qv_set_palette(h, rgb);
}

// A small history whose pixels do not depend on timing: three computed views
// (one at supersampling 2 with a raised limit, one by box matching) and one
// unrefined view ahead of the current one, with preview switched off.
void build_history(qv_handle h, bool value_palette) {
    value_palette ? qvtest::set_value_palette(h) : set_ramp_palette(h);
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

// The current view as one comparable value: size, limit, place, progress,
// picture and, with `stats`, cleverness and time spent.
std::string view_state(qv_handle h, bool stats = false) {
    char head[300], x[64], y[64];
    double r;
    qv_get_view_params_as_text(h, x, y, &r);
    const int w = qv_get_image_width(h), ht = qv_get_image_height(h);
    std::snprintf(head, sizeof head, "%dx%d %u %s %s %a %a %a %a|", w, ht,
                  qv_get_maximum_iterations(h), x, y, r, double(qv_get_progress(h)),
                  stats ? double(qv_get_cleverness(h)) : 0.0,
                  stats ? double(qv_get_time_spent(h)) : 0.0);
    return head + std::string(reinterpret_cast<char*>(qv_get_rgb_image(h)), size_t(w) * ht * 3);
}

// Every entry from the oldest; the entry that was current stays current.
std::vector<std::string> walk_history(qv_handle h, bool stats) {
    int back = 0;
    while (qv_history_back(h)) ++back;
    std::vector<std::string> out{view_state(h, stats)};
    while (qv_history_forward(h)) out.push_back(view_state(h, stats));
    for (int i = int(out.size()) - 1; i > back; --i) qv_history_back(h);
    return out;
}

// A fresh context's full file has every field at its offset and all others
// zero: the header (memory limit, capacity, preview, gamma 1.75, palette), the
// entry (size, supersampling) and its view (origin -2 + 2i as top significand
// word, exponent and sign; steps 0.04, -0.04 and 2.0; size; iteration limit).
// The minimum file of a small history holds no timing, so it reproduces its
// golden file exactly; the full file differs only in each entry's time spent,
// and in its cleverness and progress, which count the pixels iterated ahead.
// Set QV_WRITE_GOLDEN=1 to rewrite both golden files from the current engine.
TEST(HistoryFile, FilesMatchTheLayoutAndTheGoldenFiles) {
    TempDir dir;
    ContextGuard h(32);
    set_ramp_palette(h);
    const std::string made_path = dir / "made.qvh", tag = "HistEntry\nv000\n";
    ASSERT_TRUE(qv_save_all(h, made_path.c_str()));
    Bytes want(1045);
    for (auto [at, text] : {std::pair<size_t, std::string>{0, "quorvel\nContext\nv000\n"},
                            {814, "HistEntry\nv000\n"},
                            {859, "Fractal\nv000\n"},
                            {1040, "NULL\n"}})
        std::copy(text.begin(), text.end(), want.begin() + long(at));
    want[37] = 1;
    for (int i = 0; i < 768; ++i) want[46 + size_t(i)] = uint8_t(i * 7 + 3);
    // (offset, value) pairs of the non-zero words.
    const uint32_t fields[] = {
        21,   32u << 20,  25,   256,        38,   0x3FE00000, 829,  100,        833,  100,
        837,  1,          956,  0x80000000, 960,  1,          964,  1,          988,  0x80000000,
        992,  1,          1000, 0x47AE147B, 1004, 0x3FA47AE1, 1008, 0x47AE147B, 1012, 0xBFA47AE1,
        1020, 0x40000000, 1024, 100,        1028, 100,        1032, 150};
    for (size_t i = 0; i < std::size(fields); i += 2) put(want, fields[i], fields[i + 1]);
    EXPECT_EQ(read_bytes(made_path), want);

    build_history(h, false);
    qv_set_palette_cycling_speed(h, 3.5f);
    for (const bool full : {true, false}) {
        const std::string gold_path =
            std::string(QV_TEST_DATA_DIR) + (full ? "/history_full.qvh" : "/history_minimum.qvh");
        const auto save = full ? qv_save_all : qv_save_minimum;
        ASSERT_TRUE(save(h, made_path.c_str()));
        Bytes made = read_bytes(made_path);
        if (std::getenv("QV_WRITE_GOLDEN") != nullptr) write_bytes(gold_path, made);
        const Bytes gold = read_bytes(gold_path);
        ASSERT_EQ(made.size(), gold.size()) << gold_path;
        for (auto it = gold.begin();
             full && (it = std::search(it, gold.end(), tag.begin(), tag.end())) != gold.end();
             ++it) {
            std::copy_n(it + 39, 4, made.begin() + (it - gold.begin()) + 39);  // time spent
            // cleverness and progress
            std::copy_n(it + 31, 8, made.begin() + (it - gold.begin()) + 31);
        }
        EXPECT_EQ(made, gold) << gold_path;
        // Loading and saving again takes every field, palette and stream over unchanged.
        ContextGuard other(32);
        ASSERT_TRUE(qv_load(other, gold_path.c_str()) && save(other, made_path.c_str()));
        EXPECT_EQ(read_bytes(made_path), gold) << gold_path;
    }
}

// The full file restores every entry as it was; the minimum file restores the
// views, which then recompute the same pixels.
TEST(HistoryFile, RoundTrips) {
    TempDir dir;
    ContextGuard h(32), all(32), minimum(32);
    build_history(h, true);
    const std::vector<std::string> with_stats = walk_history(h, true),
                                   views = walk_history(h, false);
    ASSERT_EQ(views.size(), 4u);
    const std::string all_path = dir / "all.qvh", min_path = dir / "min.qvh";
    ASSERT_TRUE(qv_save_all(h, all_path.c_str()) && qv_save_minimum(h, min_path.c_str()));

    ASSERT_TRUE(qv_load(all, all_path.c_str()));
    EXPECT_TRUE(walk_history(all, true) == with_stats);
    // The current entry is the third, finished one; preview stays off.
    EXPECT_TRUE(view_state(all) == views[2]);
    EXPECT_FALSE(qv_refine_image(all));
    EXPECT_TRUE(qv_toggle_preview(all));

    ASSERT_TRUE(qv_load(minimum, min_path.c_str()));
    EXPECT_TRUE(qv_toggle_preview(minimum));  // the originals were computed with preview
    while (qv_history_back(minimum)) continue;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(qv_get_progress(minimum) + qv_get_time_spent(minimum), 0.0f) << i;
        EXPECT_GT(qvtest::refine_to_end(minimum), 0) << i;
        EXPECT_TRUE(view_state(minimum) == views[i]) << "entry " << i;
        ASSERT_TRUE(qv_history_forward(minimum));
    }
}

// Settings the setters took once made files the loader refused: every value
// a setter keeps must save into a file that loads.
TEST(HistoryFile, SettingsOutOfRangeStillSaveLoadableFiles) {
    TempDir dir;
    const std::string path = dir / "odd.qvh";
    const float odd[] = {std::nanf(""), INFINITY, -INFINITY};
    for (float value : odd) {
        ContextGuard h(4), back(4);
        qv_set_image_properties(h, 8, 6, 1, value);
        qv_set_palette_cycling_speed(h, value);
        qv_get_rgb_image(h);
        ASSERT_TRUE(qv_save_minimum(h, path.c_str())) << value;
        EXPECT_TRUE(qv_load(back, path.c_str())) << value;
    }
}

// The older storage form: an unpacked mask and run-length coded values, here
// in a one-slot history, which is unusual but sound.
TEST(HistoryFile, ReadsVersionZeroStorage) {
    TempDir dir;
    ContextGuard h(32), other(32);
    qvtest::set_value_palette(h);
    qv_set_image_properties(h, 20, 10, 1, -1.0f);
    qvtest::refine_to_end(h);
    const std::string path = dir / "v0.qvh";
    ASSERT_TRUE(qv_save_all(h, path.c_str()));
    // Every third pixel is left uncomputed and shows the one before; values
    // wander across 0x40..0x5F so both literal bytes and runs are needed.
    const int w = 20, ht = 10, stride = (w + 63) / 8;
    Bytes file = read_bytes(path), mask(size_t(stride) * ht), computed, expected;
    for (int i = 0; i < w * ht; ++i) {
        if (i % 3 != 1) {
            mask[size_t(i / w) * stride + (i % w) / 8] |= uint8_t(1u << (i % w % 8));
            computed.push_back(uint8_t(0x38 + (i / 7) % 40));
        }
        expected.push_back(computed.back());
    }
    file.resize(kStorageAt + 17);  // "v000\n", width, height, size of the runs
    file[kStorageAt + 3] = '0';
    file.insert(file.end(), mask.begin(), mask.end());
    for (size_t i = 0, n; i < computed.size(); i += n) {
        for (n = 1; i + n < computed.size() && n < 32 && computed[i + n] == computed[i];) ++n;
        if (n > 1 || (computed[i] & 0xE0) == 0x40) file.push_back(uint8_t(0x40 | (n - 1)));
        file.push_back(computed[i]);
    }
    put(file, kStorageAt + 13, uint32_t(file.size() - kStorageAt - 17 - mask.size()));
    put(file, kCapacityAt, 1);
    write_bytes(path, file);
    ASSERT_TRUE(qv_load(other, path.c_str()));
    EXPECT_EQ(qvtest::read_values(other), expected);
    qv_zoom_centered(other, 2.0f);
    EXPECT_FALSE(qv_history_back(other));
}

TEST(HistoryFile, TakesOverALargerBudgetOnlyWhenTheHistoryNeedsIt) {
    TempDir dir;
    // Four uncomputed 1000 x 1000 views: their coordinate tables alone take
    // more than a quarter of 1 MiB once loaded.
    ContextGuard small(1);
    qv_set_image_properties(small, 1000, 1000, 1, -1.0f);
    for (int i = 0; i < 4; ++i) qv_zoom_centered(small, 2.0f);
    const std::string path = dir / "budget.qvh", again = dir / "again.qvh";
    ASSERT_TRUE(qv_save_minimum(small, path.c_str()));
    auto limit_after_load = [&](int megabytes) {
        ContextGuard h(megabytes);
        EXPECT_TRUE(qv_load(h, path.c_str()) && qv_save_minimum(h, again.c_str()));
        const Bytes b = read_bytes(again);
        return uint32_t(b[kLimitAt]) | uint32_t(b[kLimitAt + 1]) << 8 |
               uint32_t(b[kLimitAt + 2]) << 16 | uint32_t(b[kLimitAt + 3]) << 24;
    };
    EXPECT_EQ(limit_after_load(0), 1u << 20);  // needed and larger: taken over
    EXPECT_EQ(limit_after_load(2), 2u << 20);  // smaller than the context's
    Bytes b = read_bytes(path);
    put(b, kLimitAt, 16u << 20);  // larger, but not needed by the history
    write_bytes(path, b);
    EXPECT_EQ(limit_after_load(0), 0u);
}

// Absurd or contradictory fields, unreadable paths, every truncation and random
// bit flips: a load either gives a usable history or fails and keeps the old one.
TEST(HistoryFile, DamagedFilesLoadOrFailCleanly) {
    TempDir dir;
    ContextGuard source(32), h(32);
    build_history(source, true);
    const std::string path = dir / "src.qvh", bad = dir / "bad.qvh";
    ASSERT_TRUE(qv_save_all(source, path.c_str()));
    const Bytes good = read_bytes(path);
    qv_set_image_properties(h, 24, 16, 1, -1.0f);
    qvtest::refine_to_end(h);
    qv_zoom_centered(h, 3.0f);
    qvtest::refine_to_end(h);
    std::string kept = view_state(h);
    auto fails = [&](const Bytes& d) {
        write_bytes(bad, d);
        return !qv_load(h, bad.c_str()) && view_state(h) == kept;
    };

    // The first entry is 40 x 30 with stored pixels; the history holds four.
    // Each case lists (offset, value) pairs; kByte marks a one-byte field.
    constexpr size_t e = kEntryAt, v = kViewAt, s = kStorageAt, kByte = size_t(1) << 40;
    const std::pair<const char*, std::vector<size_t>> cases[] = {
        {"capacity 0", {kCapacityAt, 0}},
        {"capacity 65537", {kCapacityAt, 65537}},
        {"last beyond capacity", {kCapacityAt, 3}},
        {"huge last", {kLastAt, 0x7FFFFFFF}},
        {"current beyond last", {kCurrentAt, 4}},
        {"negative current", {kCurrentAt, 0xFFFFFFFF}},
        {"zero gamma", {kGammaAt, 0}},
        {"preview byte 2", {kByte + kPreviewAt, 2}},
        {"entry version", {kByte + e + 13, '1'}},
        {"zero width", {e + 15, 0}},
        {"supersampling 9", {e + 23, 9}},
        {"generator type 3", {e + 27, 3}},
        {"finished byte 7", {kByte + e + 43, 7}},
        {"view version", {kByte + v + 3, '1'}},
        {"view size not entry size", {v + 157, 41}},
        {"grid wider than 32767",
         {e + 15, 4096, e + 23, 8, v + 157, 32768, v + 161, 240, s + 5, 32768, s + 9, 240}},
        {"step overflowing the grid", {v + 133, 0x85EBC8A0, v + 137, 0x7FE1CCF3}},
        {"iteration limit 1", {v + 165, 1}},
        {"computed count beyond pixels", {v + 169, 1201}},
        {"storage size not view size", {s + 9, 31}},
        {"values beyond the file", {s + 13, 0xFFFFFFF0}},
        {"mask beyond the file", {s + 17, 0xFFFFFFF0}},
        {"unknown storage version", {kByte + s + 3, '2'}},
        {"malformed storage line", {kByte + s + 4, 'x'}},
        {"wrong magic", {kByte, 'Q'}}};
    testing::internal::CaptureStdout();
    for (const auto& [what, patches] : cases) {
        Bytes d = good;
        for (size_t i = 0; i < patches.size(); i += 2)
            put(d, patches[i] % kByte, uint32_t(patches[i + 1]), patches[i] >= kByte ? 1 : 4);
        EXPECT_TRUE(fails(d)) << what;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Puke!\n");  // the malformed storage line
    // A trailing byte, and a first and only entry without a view.
    Bytes trailing = good, no_view(good.begin(), good.begin() + long(e + 45));
    trailing.push_back(0);
    for (char c : std::string("NULL\n")) no_view.push_back(uint8_t(c));
    put(no_view, kCurrentAt, 0);
    put(no_view, kLastAt, 0);
    EXPECT_TRUE(fails(trailing) && fails(no_view));
    for (const char* unreadable : {"", "/nonexistent/file.qvh", "/tmp", "/dev/zero"})
        EXPECT_FALSE(qv_load(h, unreadable)) << unreadable;
    EXPECT_FALSE(qv_load(h, nullptr) || qv_load(nullptr, path.c_str()) ||
                 qv_save_all(nullptr, bad.c_str()) || qv_save_minimum(h, nullptr));

    EXPECT_TRUE(qv_history_back(h) && !qv_history_back(h) && !qv_refine_image(h));
    kept = view_state(h);

    // Every truncation fails. Bit flips, one at each offset and one at random,
    // load or fail cleanly: flips in pixels and statistics are harmless, most
    // others are not, and whatever loads must be usable.
    std::vector<size_t> loaded_cuts, disturbing_flips;
    int loaded = 0;
    std::mt19937 rng(12345);
    testing::internal::CaptureStdout();  // "Puke!" for damage inside a storage line
    for (size_t n = 0; n < good.size(); ++n) {
        if (!fails(Bytes(good.begin(), good.begin() + long(n)))) loaded_cuts.push_back(n);
        Bytes d = good;
        d[n] ^= uint8_t(1u << (n % 8));
        d[rng() % d.size()] ^= uint8_t(1u << (rng() % 8));
        write_bytes(bad, d);
        if (qv_load(h, bad.c_str())) {
            ++loaded;
            qv_history_back(h);
            kept = view_state(h);
        } else if (view_state(h) != kept) {
            disturbing_flips.push_back(n);
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(loaded_cuts, std::vector<size_t>{});
    EXPECT_EQ(disturbing_flips, std::vector<size_t>{});
    EXPECT_GT(loaded, 0);
}

// A failed save returns false and leaves the existing file as it was and no
// temporary file behind; a good one keeps the file's permissions and links.
TEST(HistoryFile, FailedSavesKeepTheExistingFile) {
    TempDir dir;
    ContextGuard h(32);
    build_history(h, true);
    const std::string target = dir / "kept.qvh", locked = dir / "locked",
                      inside = locked + "/kept.qvh", link = dir / "link.qvh";
    const Bytes original = {'o', 'l', 'd'};
    fs::create_directory(locked);
    write_bytes(target, original);
    write_bytes(inside, original);
    fs::permissions(target, fs::perms(0640));

    EXPECT_FALSE(qv_save_all(h, (dir / "missing/x.qvh").c_str()));
    EXPECT_FALSE(qv_save_all(h, (target + "/x.qvh").c_str()));  // a folder that is a file
    EXPECT_FALSE(qv_save_all(h, dir.str().c_str()));            // never replaces a non-file
    // A full disk: the file size limit makes a write fail part way.
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{}, small{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    small = {1000, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool full_disk_saved = qv_save_all(h, target.c_str());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(full_disk_saved);
    // A folder that may not be written (only where permissions apply).
    fs::permissions(locked, fs::perms(0555));
    if (::access(locked.c_str(), W_OK) != 0) {
        EXPECT_FALSE(qv_save_all(h, inside.c_str()));
    }
    fs::permissions(locked, fs::perms(0755));
    EXPECT_TRUE(read_bytes(target) == original && read_bytes(inside) == original);

    ASSERT_TRUE(qv_save_all(h, target.c_str()));
    const Bytes full = read_bytes(target);
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
    fs::create_symlink(target, link);
    ASSERT_TRUE(qv_save_minimum(h, link.c_str()));
    EXPECT_TRUE(fs::is_symlink(link) && read_bytes(target) != full);
    // Nothing but the files made here: no temporary file was left behind.
    EXPECT_EQ(dir.files(), 3);
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), fs::directory_iterator{}), 1);
}

}  // namespace
