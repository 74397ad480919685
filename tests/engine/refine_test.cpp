// The history driver: the memory budget (far views are packed, then released,
// the current one never touched), which entry background slices go to, when a
// generator starts with a preview, and palette cycling on image fetch.
#include "refine/refine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "history/context.h"
#include "history/history.h"
#include "public/public_test_util.h"

using namespace quorvel;
using namespace qvtest;

namespace {

Context& internals(qv_handle h) { return *reinterpret_cast<Context*>(h); }

// 0 unpacked, 1 packed, 2 released.
int data_state(const HistEntry& entry) {
    if (entry.trimmed) return 2;
    const MaskedImage* image = entry.fractal->image();
    return image && image->is_packed() ? 1 : 0;
}

}  // namespace

TEST(Budget, MegabytesMapToBytesAndZeroReleasesEveryOtherView) {
    for (auto [megabytes, bytes] :
         {std::pair{-5, 32u << 20}, {0, 0u}, {1023, 1023u << 20}, {5000, 1u << 30}}) {
        ContextGuard h(megabytes);
        EXPECT_EQ(internals(h).memory_limit, bytes) << megabytes;
    }
    ContextGuard zero(0);
    qv_set_image_properties(zero, 50, 50, 1, 1.0f);
    for (int i = 0; i < 5; ++i) {
        refine_to_end(zero);
        qv_zoom_centered(zero, 2.0f);
    }
    for (int i = 0; i < internals(zero).current; ++i)
        EXPECT_TRUE(internals(zero).entries[i].trimmed);
    EXPECT_FALSE(internals(zero).current_entry().trimmed);  // even a zero budget keeps it
    EXPECT_FALSE(qv_refine_history(zero));                  // trimmed entries are never picked
}

// Zooms and moves alike: a move's copy for the history is packed as it is
// made when the budget would pack it, and keeps the pixels the view had.
TEST(Budget, FarViewsArePackedThenReleasedNearOnesLast) {
    for (bool move : {false, true}) {
        SCOPED_TRACE(move ? "moves" : "zooms");
        ContextGuard h(1);
        Context& ctx = internals(h);
        set_value_palette(h);
        qv_set_image_properties(h, 100, 100, 1, 1.0f);
        qv_set_generator_type(h, 2);
        std::vector<std::vector<uint8_t>> pictures;  // by entry index
        int packed_neighbours = 0;
        for (int i = 0; i < 120; ++i) {
            refine_to_end(h);
            pictures.push_back(read_values(h));
            if (move)
                qv_move(h, 0.16f, i % 2 ? 0.08f : -0.08f);
            else
                qv_zoom_centered(h, 1.05f);
            ASSERT_LE(ctx.memory_used, ctx.memory_limit) << "after step " << i;
            ASSERT_EQ(data_state(ctx.current_entry()), 0);
            packed_neighbours += data_state(ctx.entries[ctx.current - 1]) == 1;
        }
        EXPECT_GT(packed_neighbours, 0);
        // States never get milder towards the oldest entry; the neighbour stays.
        for (int i = 1; i < ctx.current; ++i)
            ASSERT_LE(data_state(ctx.entries[i]), data_state(ctx.entries[i - 1])) << "entry " << i;
        EXPECT_EQ(data_state(ctx.entries[0]), 2);
        EXPECT_LT(data_state(ctx.entries[ctx.current - 1]), 2);

        // A packed view comes back pixel for pixel, a released one is recomputed.
        int index = ctx.current;
        while (qv_history_back(h) && data_state(ctx.entries[--index]) != 1) {
        }
        ASSERT_EQ(data_state(ctx.entries[index]), 1);
        EXPECT_EQ(read_values(h), pictures[index]);
        EXPECT_FALSE(qv_refine_image(h));
        while (qv_history_back(h)) {
        }
        EXPECT_GT(refine_to_end(h), 0);
        EXPECT_EQ(read_values(h), pictures[0]);
    }
}

// Packing starts with the farthest view; the first background generator it
// meets keeps working on unpacked pixels, any other is deleted.
TEST(Budget, PackingSparesOneBackgroundGenerator) {
    ContextGuard h(1);
    Context& ctx = internals(h);
    qv_set_image_properties(h, 300, 300, 1, 1.0f);
    for (int i = 0; i < 4; ++i) qv_zoom_centered(h, 1.5f);
    for (int i = 0; i < 4; ++i) ctx.entries[i].fractal->prepare(true);
    ensure_generator(ctx, 0);
    ensure_generator(ctx, 1);
    recompute_memory_used(ctx);
    // Over the packing threshold (3/4 of the budget) but within the budget,
    // and packing one view is enough to get below it.
    const uint32_t threshold = ctx.memory_limit / 4 * 3, unpacked = ctx.memory_used;
    const uint32_t one_view = ctx.entries[0].fractal->memory_size();
    ASSERT_TRUE(unpacked > threshold && unpacked <= ctx.memory_limit);
    ASSERT_LT(unpacked - one_view / 2, threshold);

    trim_memory(ctx);
    EXPECT_TRUE(ctx.entries[0].generator && data_state(ctx.entries[0]) == 0);
    EXPECT_TRUE(!ctx.entries[1].generator && data_state(ctx.entries[1]) == 1);
    EXPECT_EQ(data_state(ctx.entries[2]), 0);
}

// Background slices unpack views and grow their lookaheads: the budget holds
// after each of them, not only after the next navigation.
TEST(Budget, HoldsWhileOtherViewsAreRefined) {
    ContextGuard h(1);
    Context& ctx = internals(h);
    qv_set_image_properties(h, 300, 300, 1, 1.0f);
    for (int i = 0; i < 7; ++i) qv_zoom_centered(h, 1.25f);
    int slices = 0;
    while (qv_refine_history(h)) {
        ++slices;
        recompute_memory_used(ctx);
        ASSERT_LE(ctx.memory_used, ctx.memory_limit) << "after slice " << slices;
    }
    EXPECT_TRUE(ctx.entries[ctx.current - 1].finished);  // the nearest still computed
}

TEST(Refine, BackgroundSlicesGoToTheNearestUnfinishedEntries) {
    ContextGuard h(64);
    Context& ctx = internals(h);
    qv_set_image_properties(h, 40, 40, 1, 1.0f);
    for (int i = 0; i < 4; ++i) qv_zoom_centered(h, 1.5f);
    for (int i = 0; i < 2; ++i) {
        qv_refine_image(h);  // entries 4 and 3 keep unfinished generators
        ASSERT_TRUE(qv_history_back(h));
    }
    refine_to_end(h);
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
    ASSERT_TRUE(qv_history_back(h));
    EXPECT_FALSE(qv_refine_image(h));  // finished in the background
}

TEST(Refine, PreviewOnlyForAFreshCurrentView) {
    ContextGuard h(64);
    Context& ctx = internals(h);
    qv_set_image_properties(h, 80, 80, 2, 1.0f);
    ASSERT_TRUE(qv_refine_image(h) && ctx.current_entry().generator);
    EXPECT_EQ(ctx.current_entry().generator->preview_cell, 24);
    qv_move(h, 0.25f, 0.0f);  // progress -1: no preview for a moved view
    ASSERT_TRUE(qv_refine_image(h));
    EXPECT_FALSE(ctx.current_entry().generator && ctx.current_entry().generator->preview_enabled());
    qv_zoom_centered(h, 2.0f);
    EXPECT_FALSE(qv_toggle_preview(h));  // preview now off for new views
    ASSERT_TRUE(qv_refine_image(h));
    EXPECT_FALSE(ctx.current_entry().generator && ctx.current_entry().generator->preview_enabled());
}

TEST(Refine, PaletteCyclesWithTheFetches) {
    ContextGuard h(16);
    Context& ctx = internals(h);
    ManualClock clock;
    ctx.cycle_timer.use_clock(&clock);
    set_value_palette(h);
    qv_get_rgb_image(h);
    // Entry 10 holds the colour of entry 10 - shift, counted from the start.
    auto shifted = [&] { return 10 - ctx.rgb_image->palette()[3 * 10]; };

    qv_set_palette_cycling_speed(h, -10.0f);
    ctx.cycle_timer.restart_timer();
    clock.advance(std::chrono::milliseconds(350));
    qv_get_rgb_image(h);
    EXPECT_EQ(shifted(), -3);                   // 3.5 steps down: whole steps only
    EXPECT_EQ(ctx.rgb_image->palette()[0], 0);  // the inside colour never moves

    // At 64 fetches a second each fetch is an eighth of a step at speed 8: the
    // part-steps must add up rather than be dropped, or cycling never moves.
    qv_set_palette_cycling_speed(h, 8.0f);
    for (int frame = 0; frame < 64; ++frame) {
        clock.advance(std::chrono::microseconds(15625));
        qv_get_rgb_image(h);
    }
    EXPECT_EQ(shifted(), -3 + 8);
}
