// The memory budget: far views are packed, then released, and the views next
// to the current one last; the current view is never touched.
#include <gtest/gtest.h>

#include <vector>

#include "api/context.h"
#include "quorvel.h"

using namespace quorvel;

namespace {

Context& internals(qv_handle h) { return *reinterpret_cast<Context*>(h); }

// 0 unpacked, 1 packed, 2 released.
int data_state(const HistEntry& entry) {
    if (entry.trimmed) return 2;
    const MaskedImage* image = entry.fractal->image();
    return image && image->is_packed() ? 1 : 0;
}

std::vector<uint8_t> values_of(qv_handle h) {
    const int n = qv_get_image_width(h) * qv_get_image_height(h);
    const unsigned char* rgb = qv_get_rgb_image(h);
    std::vector<uint8_t> values(n);
    for (int i = 0; i < n; ++i) values[i] = rgb[3 * i];
    return values;
}

struct BudgetTest : ::testing::Test {
    void SetUp() override {
        h = qv_create_context(1);
        unsigned char rgb[768] = {};
        for (int i = 0; i < 256; ++i) rgb[3 * i] = static_cast<unsigned char>(i);
        qv_set_palette(h, rgb);
        qv_set_image_properties(h, 100, 100, 1, 1.0f);
        qv_set_generator_type(h, 2);
    }
    void TearDown() override { qv_delete_context(&h); }
    void complete() {
        while (qv_refine_image(h)) {
        }
    }
    qv_handle h = nullptr;
};

}  // namespace

TEST(Budget, MegabyteCountsMapToBytes) {
    for (auto [megabytes, bytes] : {std::pair{-5, 32u << 20}, std::pair{0, 0u},
                                    std::pair{1023, 1023u << 20}, std::pair{5000, 1u << 30}}) {
        qv_handle h = qv_create_context(megabytes);
        EXPECT_EQ(internals(h).memory_limit, bytes) << megabytes;
        qv_delete_context(&h);
    }
}

TEST_F(BudgetTest, FarViewsArePackedThenReleasedNearOnesLast) {
    std::vector<std::vector<uint8_t>> pictures;  // by entry index
    Context& ctx = internals(h);
    for (int i = 0; i < 120; ++i) {
        complete();
        ASSERT_EQ(ctx.current, i);
        pictures.push_back(values_of(h));
        qv_zoom_centered(h, 1.05f);
        ASSERT_LE(ctx.memory_used, ctx.memory_limit) << "after zoom " << i;
        const HistEntry& current = ctx.current_entry();
        ASSERT_FALSE(current.trimmed);
        ASSERT_EQ(data_state(current), 0);
    }
    // States never get milder towards the oldest entry.
    int released = 0, packed = 0;
    for (int i = 0; i < ctx.current; ++i) {
        const int state = data_state(ctx.entries[i]);
        if (i > 0) {
            ASSERT_LE(state, data_state(ctx.entries[i - 1])) << "entry " << i;
        }
        released += state == 2;
        packed += state == 1;
    }
    EXPECT_GT(released, 0);
    EXPECT_GT(packed, 0);
    EXPECT_LT(data_state(ctx.entries[ctx.current - 1]), 2);  // the neighbour is never released

    // A packed view comes back pixel for pixel, a released one is recomputed.
    int index = ctx.current;
    while (qv_history_back(h)) {
        --index;
        if (data_state(ctx.entries[index]) == 1) break;
    }
    ASSERT_EQ(data_state(ctx.entries[index]), 1);
    EXPECT_EQ(values_of(h), pictures[index]);
    EXPECT_FALSE(qv_refine_image(h));

    while (qv_history_back(h)) --index;
    ASSERT_TRUE(ctx.entries[0].trimmed || data_state(ctx.entries[0]) == 0);
    complete();
    EXPECT_EQ(values_of(h), pictures[0]);
    EXPECT_FALSE(ctx.entries[0].trimmed);
}

TEST_F(BudgetTest, ZeroBudgetReleasesEveryOtherView) {
    qv_handle zero = qv_create_context(0);
    qv_set_image_properties(zero, 50, 50, 1, 1.0f);
    for (int i = 0; i < 5; ++i) {
        while (qv_refine_image(zero)) {
        }
        qv_zoom_centered(zero, 2.0f);
    }
    Context& ctx = internals(zero);
    for (int i = 0; i < ctx.current; ++i) EXPECT_TRUE(ctx.entries[i].trimmed) << i;
    EXPECT_FALSE(qv_refine_history(zero));  // trimmed entries are never picked
    qv_delete_context(&zero);
}

TEST_F(BudgetTest, OnlyOneBackgroundGeneratorSurvives) {
    Context& ctx = internals(h);
    qv_zoom_centered(h, 2.0f);
    qv_zoom_centered(h, 2.0f);
    qv_zoom_centered(h, 2.0f);
    ASSERT_TRUE(qv_history_back(h));  // current 2, entries 0..3 unfinished
    complete();
    ASSERT_TRUE(qv_refine_history(h));
    int generators = 0;
    for (int i = 0; i <= ctx.last; ++i) generators += i != ctx.current && ctx.entries[i].generator;
    EXPECT_LE(generators, 1);
    // The first slice goes to the newer neighbour.
    EXPECT_TRUE(ctx.entries[3].generator || ctx.entries[3].finished);
}
