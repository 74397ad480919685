// The history file seen from inside: saving packs stored pixels, a load takes
// over the settings and restarts cycling, and a failed load leaves every object
// and setting of the context in place.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "history/context.h"
#include "history/history.h"
#include "persist/history_file.h"
#include "public/public_test_util.h"

using namespace quorvel;

namespace {

Context& internals(qv_handle h) { return *reinterpret_cast<Context*>(h); }

TEST(Persist, SaveAndLoadReplaceEverythingOrNothing) {
    const std::string path = "/tmp/qv_persist_" + std::to_string(::getpid()) + ".qvh";
    qvtest::ContextGuard source(32), target(32);
    Context &from = internals(source), &to = internals(target);
    uint8_t rgb[768];
    for (int i = 0; i < 768; ++i) rgb[i] = uint8_t(255 - i % 251);
    qv_set_palette(source, rgb);
    qv_set_image_properties(source, 48, 32, 2, 2.5f);
    qvtest::refine_to_end(source);
    qv_zoom_centered(source, 4.0f);
    qv_set_palette_cycling_speed(source, -7.25f);
    qv_toggle_preview(source);
    from.entries[0].fractal->image()->unpack();
    recompute_memory_used(from);
    const uint32_t unpacked = from.memory_used;
    ASSERT_TRUE(save_history(from, path.c_str(), true));
    EXPECT_TRUE(from.entries[0].fractal->image()->is_packed());
    EXPECT_LT(from.memory_used, unpacked);

    qv_zoom_centered(target, 2.0f);
    const Fractal *view0 = to.entries[0].fractal.get(), *view1 = to.entries[1].fractal.get();
    const RgbImage* picture = to.rgb_image.get();
    const uint32_t used = to.memory_used, limit = to.memory_limit;
    // The valid file with its last byte changed into something unknown.
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_TRUE(f != nullptr && std::fseek(f, -1, SEEK_END) == 0 && std::fputc('x', f) == 'x');
    std::fclose(f);
    EXPECT_FALSE(load_history(to, path.c_str()));
    EXPECT_TRUE(to.entries[0].fractal.get() == view0 && to.entries[1].fractal.get() == view1);
    EXPECT_TRUE(to.rgb_image.get() == picture && to.rgb_image->gamma() == 1.75f);
    EXPECT_TRUE(to.current == 1 && to.last == 1 && to.preview && to.gamma == 1.75f);
    EXPECT_TRUE(to.memory_used == used && to.memory_limit == limit && to.cycling_speed == 0.0f);

    // A good load takes the settings over (checked in full by the golden files),
    // restarts cycling and brings back entries without generators, pixels packed.
    ASSERT_TRUE(save_history(from, path.c_str(), true));
    to.cycling_phase = 0.6f;
    ManualClock clock;
    to.cycle_timer.use_clock(&clock);
    clock.advance(std::chrono::seconds(5));
    ASSERT_TRUE(load_history(to, path.c_str()));
    std::remove(path.c_str());
    EXPECT_TRUE(to.current == 1 && !to.preview && to.gamma == 2.5f && to.cycling_speed == -7.25f);
    EXPECT_TRUE(to.cycling_phase == 0.0f && to.cycle_timer.elapsed() == 0.0);
    const HistEntry& first = to.entries[0];
    EXPECT_TRUE(first.generator == nullptr && first.fractal->image()->is_packed());
    EXPECT_EQ(to.memory_used, first.fractal->memory_size());
}

// Files several times the reader's window: streams that cross its refills
// load whole, a file cut or damaged near its end is refused late and changes
// nothing, and the half-computed view it would have replaced goes on to the
// pixels a context that never tried to load computes.
TEST(Persist, LargeFilesLoadInPiecesAndLateFailuresChangeNothing) {
    const std::string path = "/tmp/qv_persist_large_" + std::to_string(::getpid()) + ".qvh";
    qvtest::ContextGuard source(32), target(32), reference(32);
    qv_set_image_properties(source, 400, 300, 2, 1.75f);
    for (int i = 0; i < 3; ++i) {
        qvtest::refine_to_end(source);
        qv_zoom_on_window_coord(source, 160 + 20 * i, 110, 2.0f);
    }
    qv_set_image_properties(target, 160, 120, 2, 1.75f);
    qv_set_image_properties(reference, 160, 120, 2, 1.75f);
    qv_refine_image(target);
    qv_refine_image(reference);
    ASSERT_TRUE(qv_save_all(source, path.c_str()));
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_TRUE(f != nullptr);
    std::vector<uint8_t> good(1 << 22);
    good.resize(std::fread(good.data(), 1, good.size(), f));
    std::fclose(f);
    ASSERT_GT(good.size(), size_t(2) << 16);  // three 64 KB windows

    auto write = [&](const std::vector<uint8_t>& bytes) {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(out != nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    };
    std::vector<uint8_t> bad = good;
    bad.back() ^= 0x40;  // the last stream no longer decodes
    for (const std::vector<uint8_t>& d :
         {std::vector<uint8_t>(good.begin(), good.end() - 1), bad,
          std::vector<uint8_t>(good.begin(), good.begin() + long(good.size() / 2))}) {
        write(d);
        EXPECT_FALSE(qv_load(target, path.c_str()));
    }
    qvtest::refine_to_end(target);
    qvtest::refine_to_end(reference);
    EXPECT_EQ(qvtest::read_values(target), qvtest::read_values(reference));

    write(good);
    ASSERT_TRUE(qv_load(target, path.c_str()));
    std::remove(path.c_str());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(qvtest::read_values(target), qvtest::read_values(source)) << "entry " << 3 - i;
        ASSERT_TRUE(qv_history_back(target) && qv_history_back(source));
    }
}

}  // namespace
