// The deep-kernel mode through the public header: its returns and neutral
// results, which views a change recomputes, what auto chooses, and histories
// that keep the pixels whatever mode computed them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "public_test_util.h"

namespace {

using namespace qvtest;

// A boundary view near the seahorse valley, deep enough at 1e-40 for the
// 192-bit kernel to get some pixels wrong.
const char* const kX = "-B.E5F721E91B8DA48AD8D3740AACDC2740ED39E747A2E74x-1";
const char* const kY = "+8.6FD5EAE7E864DDA1DE2AEA24B878503D24F3EB2477B3x-3";

void show(qv_handle h, int side, double radius, int generator = 0) {
    set_value_palette(h);
    qv_set_image_properties(h, side, side, 1, 1.75f);
    qv_set_generator_type(h, generator);
    qv_set_view_params_from_text(h, kX, kY, radius);
    Location place;
    qv_store_location_to(h, &place);
    const uint32_t limit = 5000;
    std::memcpy(&place.max_iterations, &limit, 4);
    qv_restore_location_from(h, &place);
}

std::vector<uint8_t> finished(qv_handle h) {
    refine_to_end(h);
    return read_values(h);
}

TEST(DeepKernel, SettingReturnsThePreviousModeAndIgnoresBadInput) {
    ContextGuard h;
    EXPECT_EQ(qv_get_deep_kernel(h), 0);  // auto
    const struct {
        int mode, returned, after;
    } steps[] = {{2, 0, 2}, {1, 2, 1}, {3, 1, 3}, {4, 3, 3}, {-1, 3, 3}, {0, 3, 0}, {0, 0, 0}};
    for (const auto& s : steps) {
        EXPECT_EQ(qv_set_deep_kernel(h, s.mode), s.returned) << s.mode;
        EXPECT_EQ(qv_get_deep_kernel(h), s.after) << s.mode;
    }
    qv_set_deep_kernel(h, 2);
    qv_reset_context(h);
    EXPECT_EQ(qv_get_deep_kernel(h), 0);
    qv_handle gone = qv_create_context(16);
    qv_handle stale = gone;
    qv_delete_context(&gone);
    for (qv_handle bad : {qv_handle(nullptr), stale}) {
        EXPECT_EQ(qv_set_deep_kernel(bad, 2), 0);
        EXPECT_EQ(qv_get_deep_kernel(bad), 0);
    }
}

TEST(DeepKernel, AChangeRecomputesOnlyAViewPastTheDoublePath) {
    ContextGuard h;
    show(h, 16, 1e-40);
    const std::vector<uint8_t> automatic = finished(h);
    EXPECT_FALSE(qv_refine_image(h));
    qv_set_deep_kernel(h, 1);
    EXPECT_EQ(qv_get_progress(h), 0.0f);
    EXPECT_TRUE(qv_refine_image(h));  // computed again
    finished(h);
    qv_set_deep_kernel(h, 2);
    EXPECT_EQ(finished(h), automatic);  // auto is perturbation at this depth

    render(h, 16, -0.75, 0.1, 0.01, 0);  // the double path
    qv_set_deep_kernel(h, 1);
    EXPECT_FALSE(qv_refine_image(h));  // its pixels stay
}

TEST(DeepKernel, AutoIsThe192BitKernelAtRadius1e30AndAbovePerturbationBelow) {
    const struct {
        double radius;
        int same_as;  // the mode auto must match pixel for pixel
    } cases[] = {{1e-30, 1}, {1e-26, 1}, {1e-40, 2}};
    for (const auto& c : cases) {
        for (int generator : {0, 2}) {
            ContextGuard automatic, other;
            qv_set_deep_kernel(other, c.same_as);
            show(automatic, 16, c.radius, generator);
            show(other, 16, c.radius, generator);
            EXPECT_EQ(finished(automatic), finished(other)) << c.radius << " " << generator;
        }
    }
    // Below the switch the kernels do differ here, so the match above means
    // something.
    ContextGuard exact, perturbed;
    qv_set_deep_kernel(exact, 1);
    qv_set_deep_kernel(perturbed, 2);
    show(exact, 16, 1e-40);
    show(perturbed, 16, 1e-40);
    EXPECT_NE(finished(exact), finished(perturbed));
}

TEST(DeepKernel, ASavedHistoryKeepsItsPixelsWhateverModeComputedThem) {
    const std::string path = testing::TempDir() + "deep_kernel_history.qvh";
    for (int mode : {1, 2}) {
        ContextGuard source, target;
        qv_set_deep_kernel(source, mode);
        show(source, 16, 1e-40);
        const std::vector<uint8_t> values = finished(source);
        ASSERT_TRUE(qv_save_all(source, path.c_str()));
        qv_set_deep_kernel(target, 3 - mode);
        ASSERT_TRUE(qv_load(target, path.c_str()));
        set_value_palette(target);
        EXPECT_FALSE(qv_refine_image(target)) << mode;  // nothing computed again
        EXPECT_EQ(read_values(target), values) << mode;
    }
    std::remove(path.c_str());
}

}  // namespace
