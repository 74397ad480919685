// A square view prepared at a location, with the perturbation plan of its
// pixels: the shared fixture of tests that run a real view's pixels.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>

#include "deep/perturbation_plan.h"
#include "deep/wide_real.h"
#include "view/fractal.h"

namespace quorvel {

struct PlannedView {
    Fractal view;  // its coordinate tables outlive the plan
    std::unique_ptr<PerturbationPlan> plan;

    PlannedView(std::string_view x, std::string_view y, std::string_view radius, int32_t side,
                uint32_t limit)
        : view(side, side) {
        view.set_view(*WideReal::parse(x), *WideReal::parse(y), parse_radius(radius).value());
        view.set_max_iterations(limit);
        view.prepare(true);
        const WideView& wide = *view.wide();
        plan =
            std::make_unique<PerturbationPlan>(view.grid_coordinates(), wide.radius,
                                               std::min(abs(wide.step_x), abs(wide.step_y)), limit);
        while (!plan->prepare(1.0)) {
        }
    }
    PlannedView(const PlannedView&) = delete;
    PlannedView& operator=(const PlannedView&) = delete;
};

// A public location at 2e-50, whose pixels escape near 170,000 iterations.
inline constexpr uint32_t kPublic2e50Limit = 263010;
inline PlannedView public_view_at_2e50(int32_t side) {
    return PlannedView("-0.04947002906310409375169222672735363011874571248822487931810",
                       "-0.67478757584467536401139205313059765633477070682240348069800", "2e-50",
                       side, kPublic2e50Limit);
}

}  // namespace quorvel
