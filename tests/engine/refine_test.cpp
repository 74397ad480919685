// The refinement driver's choices: which entry background slices go to, when a
// generator starts with a preview, and palette cycling on image fetch.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "api/context.h"
#include "quorvel.h"

using namespace quorvel;

namespace {

Context& internals(qv_handle h) { return *reinterpret_cast<Context*>(h); }

}  // namespace

TEST(Refine, BackgroundSlicesGoToTheNearestUnfinishedEntries) {
    qv_handle h = qv_create_context(64);
    qv_set_image_properties(h, 40, 40, 1, 1.0f);
    for (int i = 0; i < 4; ++i) qv_zoom_centered(h, 1.5f);
    ASSERT_TRUE(qv_history_back(h));
    ASSERT_TRUE(qv_history_back(h));
    Context& ctx = internals(h);
    ASSERT_EQ(ctx.current, 2);
    while (qv_refine_image(h)) {
    }
    ctx.entries[0].trimmed = true;  // never picked
    std::vector<int> order;
    while (qv_refine_history(h)) {
        for (int i : {3, 1, 4, 0})
            if (ctx.entries[i].finished && std::find(order.begin(), order.end(), i) == order.end())
                order.push_back(i);
        int generators = 0;
        for (int i = 0; i <= ctx.last; ++i)
            generators += i != ctx.current && ctx.entries[i].generator;
        ASSERT_LE(generators, 1);
    }
    EXPECT_EQ(order, (std::vector<int>{3, 1, 4}));
    EXPECT_FALSE(ctx.entries[0].finished);
    qv_delete_context(&h);
}

TEST(Refine, PreviewOnlyForAFreshCurrentView) {
    qv_handle h = qv_create_context(64);
    qv_set_image_properties(h, 80, 80, 2, 1.0f);
    Context& ctx = internals(h);
    ASSERT_TRUE(qv_refine_image(h));
    ASSERT_TRUE(ctx.current_entry().generator);
    EXPECT_EQ(ctx.current_entry().generator->preview_cell, 24);

    qv_move(h, 0.25f, 0.0f);  // progress -1: no preview for a moved view
    ASSERT_TRUE(qv_refine_image(h));
    if (Generator* g = ctx.current_entry().generator.get()) {
        EXPECT_FALSE(g->preview_enabled());
    }

    qv_zoom_centered(h, 2.0f);
    EXPECT_FALSE(qv_toggle_preview(h));  // preview now off for new views
    ASSERT_TRUE(qv_refine_image(h));
    if (Generator* g = ctx.current_entry().generator.get()) {
        EXPECT_FALSE(g->preview_enabled());
    }
    qv_delete_context(&h);
}

TEST(Refine, PaletteCyclesWithTheFetches) {
    qv_handle h = qv_create_context(16);
    unsigned char rgb[768] = {};
    for (int i = 0; i < 256; ++i) rgb[3 * i] = static_cast<unsigned char>(i);
    qv_set_palette(h, rgb);
    Context& ctx = internals(h);
    qv_get_rgb_image(h);
    qv_set_palette_cycling_speed(h, -10.0f);
    ctx.cycle_timer.restart_timer();
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    qv_get_rgb_image(h);
    const uint8_t* palette = ctx.rgb_image->palette();
    // About 3 steps down: entry i now holds the colour of entry i + 3.
    const int moved = palette[3 * 10] - 10;
    EXPECT_GE(moved, 3);
    EXPECT_LE(moved, 4);
    EXPECT_EQ(palette[0], 0);  // the inside colour never moves
    EXPECT_GT(ctx.cycling_phase, -0.1f);
    EXPECT_LT(ctx.cycling_phase, 0.1f);
    qv_set_palette_cycling_speed(h, 0.0f);
    qv_get_rgb_image(h);
    EXPECT_EQ(ctx.rgb_image->palette()[3 * 10], 10 + moved);
    qv_delete_context(&h);
}
