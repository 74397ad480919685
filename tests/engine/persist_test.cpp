// The history file seen from inside: what a load replaces and resets, and that
// a failed load leaves every object of the context in place.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "api/context.h"
#include "history/history.h"
#include "persist/history_file.h"
#include "quorvel.h"

using namespace quorvel;

namespace {

Context& internals(qv_handle h) { return *reinterpret_cast<Context*>(h); }

std::string temp_path(const char* name) {
    return "/tmp/qv_persist_" + std::to_string(::getpid()) + "_" + name;
}

struct PersistTest : ::testing::Test {
    void SetUp() override {
        source = qv_create_context(32);
        uint8_t rgb[768];
        for (int i = 0; i < 768; ++i) rgb[i] = uint8_t(255 - i % 251);
        qv_set_palette(source, rgb);
        qv_set_image_properties(source, 48, 32, 2, 2.5f);
        while (qv_refine_image(source)) {
        }
        qv_zoom_centered(source, 4.0f);
        qv_set_palette_cycling_speed(source, -7.25f);
        qv_toggle_preview(source);
        ASSERT_TRUE(qv_save_all(source, path.c_str()));
        target = qv_create_context(32);
    }
    void TearDown() override {
        qv_delete_context(&source);
        qv_delete_context(&target);
        std::remove(path.c_str());
    }
    qv_handle source = nullptr, target = nullptr;
    std::string path = temp_path("history.qvh");
};

TEST_F(PersistTest, LoadTakesOverTheSettingsAndRestartsCycling) {
    Context& to = internals(target);
    to.cycling_phase = 0.6f;
    ASSERT_TRUE(load_history(to, path.c_str()));
    const Context& from = internals(source);

    EXPECT_EQ(to.capacity, from.capacity);
    EXPECT_EQ(to.current, 1);
    EXPECT_EQ(to.last, 1);
    EXPECT_FALSE(to.preview);
    EXPECT_EQ(to.gamma, 2.5f);
    EXPECT_EQ(to.cycling_speed, -7.25f);
    EXPECT_EQ(to.cycling_phase, 0.0f);
    EXPECT_LT(to.cycle_timer.elapsed(), 1.0);
    EXPECT_EQ(std::memcmp(to.rgb_image->palette(), from.rgb_image->palette(), 768), 0);
    EXPECT_EQ(to.rgb_image->width(), 48);
    EXPECT_EQ(to.rgb_image->supersampling(), 2);
    EXPECT_EQ(to.rgb_image->gamma(), 2.5f);
    EXPECT_EQ(to.entries.size(), size_t(to.capacity));

    // Loaded entries carry no generator; stored pixels come back packed.
    const HistEntry& first = to.entries[0];
    EXPECT_EQ(first.generator, nullptr);
    ASSERT_NE(first.fractal->image(), nullptr);
    EXPECT_TRUE(first.fractal->image()->is_packed());
    EXPECT_TRUE(first.finished);
    EXPECT_EQ(first.fractal->computed_count(), from.entries[0].fractal->computed_count());
    EXPECT_EQ(to.memory_used, first.fractal->memory_size());
}

TEST_F(PersistTest, FailedLoadKeepsEveryObject) {
    Context& to = internals(target);
    qv_zoom_centered(target, 2.0f);
    const Fractal* view0 = to.entries[0].fractal.get();
    const Fractal* view1 = to.entries[1].fractal.get();
    const RgbImage* picture = to.rgb_image.get();
    const uint32_t used = to.memory_used, limit = to.memory_limit;

    // The valid file with its last byte changed into something unknown.
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, -1, SEEK_END);
    std::fputc('x', f);
    std::fclose(f);
    EXPECT_FALSE(load_history(to, path.c_str()));

    EXPECT_EQ(to.entries[0].fractal.get(), view0);
    EXPECT_EQ(to.entries[1].fractal.get(), view1);
    EXPECT_EQ(to.rgb_image.get(), picture);
    EXPECT_EQ(to.current, 1);
    EXPECT_EQ(to.last, 1);
    EXPECT_EQ(to.memory_used, used);
    EXPECT_EQ(to.memory_limit, limit);
    EXPECT_TRUE(to.preview);
    EXPECT_EQ(to.gamma, 1.75f);
}

TEST_F(PersistTest, SavingPacksStoredImagesAndKeepsTheBudgetCurrent) {
    Context& from = internals(source);
    from.entries[0].fractal->image()->unpack();
    recompute_memory_used(from);
    const uint32_t unpacked = from.memory_used;
    ASSERT_TRUE(save_history(from, path.c_str(), true));
    EXPECT_TRUE(from.entries[0].fractal->image()->is_packed());
    EXPECT_LT(from.memory_used, unpacked);
    EXPECT_EQ(from.memory_used, from.entries[0].fractal->memory_size());
}

}  // namespace
