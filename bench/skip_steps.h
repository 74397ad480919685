// Steps per pixel of the perturbation kernel with and without linear steps, on
// sampled pixels of a view's main reference: a plain step is one iteration, a
// skipping pixel counts its linear and single steps. And whole pictures by
// brute force, timed in CPU seconds.
#pragma once

#include <time.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "deep/bla_table.h"
#include "deep/perturbation.h"
#include "deep/perturbation_bla.h"
#include "deep/perturbation_ext.h"
#include "deep/perturbation_plan.h"
#include "generators/generator_factory.h"
#include "view/fractal.h"

namespace quorvel::bench {

// Brute force to the end, preview off; the values and the CPU seconds.
inline std::vector<uint8_t> brute_force(Fractal& view, double& seconds) {
    auto cpu = [] {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return ts.tv_sec + 1e-9 * ts.tv_nsec;
    };
    auto g = make_generator(2, view);
    g->set_preview(false);
    const double start = cpu();
    while (g->refine(0.25f)) {
    }
    seconds = cpu() - start;
    const uint8_t* values = view.image_for_use().values();
    return std::vector<uint8_t>(values, values + size_t(view.width()) * view.height());
}

struct StepsPerPixel {
    double plain = 0, skipping = 0;
    int pixels = 0;  // pixels the main reference decided in both kernels
    // Sampled pixels the main reference left to others, in either kernel.
    int undecided_plain = 0, undecided_skipping = 0;
};

inline StepsPerPixel steps_per_pixel(Fractal& view, int samples) {
    const GridCoordinates grid = view.grid_coordinates();
    StepsPerPixel out;
    const ExtFloat step = view.wide() ? std::min(abs(view.wide()->step_x), abs(view.wide()->step_y))
                                      : ExtFloat(2.0 * view.radius() / view.height());
    PerturbationPlan plan(grid, view.exact_radius(), step, view.max_iterations());
    while (!plan.prepare(1.0)) {
    }
    const ReferenceOrbit& orbit = plan.main_orbit();
    const int32_t w = view.width(), h = view.height();
    std::mt19937_64 random(11);
    std::uniform_int_distribution<int32_t> px(0, w - 1), py(0, h - 1);
    uint64_t plain = 0, skipping = 0;
    const uint32_t limit = view.max_iterations();
    // Both kernels on the same sampled pixels; undecided ones are counted aside.
    auto sample = [&](auto&& plain_count, auto&& skipping_count) {
        for (int k = 0; k < samples; ++k) {
            const int32_t x = px(random), y = py(random);
            const uint32_t a = plain_count(x, y);
            uint64_t steps = 0;
            const uint32_t b = skipping_count(x, y, &steps);
            out.undecided_plain += a == kNeedsOtherReference;
            out.undecided_skipping += b == kNeedsOtherReference;
            if (a == kNeedsOtherReference || b == kNeedsOtherReference) continue;
            plain += a;
            skipping += steps;
            ++out.pixels;
        }
    };
    if (plan.extended()) {
        const std::vector<ExtFloat> dcx(plan.column_offsets_ext(), plan.column_offsets_ext() + w),
            dcy(plan.row_offsets_ext(), plan.row_offsets_ext() + h);
        ExtFloat mx(0.0), my(0.0);
        for (const ExtFloat& d : dcx) mx = std::max(mx, abs(d));
        for (const ExtFloat& d : dcy) my = std::max(my, abs(d));
        BlaTable<ExtFloat> table(orbit.ext_re(), orbit.ext_im(), orbit.length(),
                                 sqrt(mx * mx + my * my) * ExtFloat(1.0 + 0x1p-40));
        while (!table.advance(1.0)) {
        }
        const ExtOrbitSpan span{orbit.ext_re(), orbit.ext_im(), orbit.length(), orbit.escaped()};
        sample([&](int32_t x,
                   int32_t y) { return iterate_perturbed_ext(span, limit, dcx[x], dcy[y]); },
               [&](int32_t x, int32_t y, uint64_t* steps) {
                   return iterate_bla_ext(span, table, limit, dcx[x], dcy[y], steps);
               });
    } else {
        const std::vector<double> dcx(plan.column_offsets(), plan.column_offsets() + w),
            dcy(plan.row_offsets(), plan.row_offsets() + h);
        double mx = 0, my = 0;
        for (double d : dcx) mx = std::max(mx, std::fabs(d));
        for (double d : dcy) my = std::max(my, std::fabs(d));
        BlaTable<double> table(orbit.re(), orbit.im(), orbit.length(),
                               std::sqrt(mx * mx + my * my) * (1.0 + 0x1p-40));
        while (!table.advance(1.0)) {
        }
        const OrbitSpan span{orbit.re(), orbit.im(), orbit.length(), orbit.escaped()};
        sample([&](int32_t x, int32_t y) { return iterate_perturbed(span, limit, dcx[x], dcy[y]); },
               [&](int32_t x, int32_t y, uint64_t* steps) {
                   return iterate_bla(span, table, limit, dcx[x], dcy[y], steps);
               });
    }
    if (out.pixels > 0) {
        out.plain = static_cast<double>(plain) / out.pixels;
        out.skipping = static_cast<double>(skipping) / out.pixels;
    }
    return out;
}

}  // namespace quorvel::bench
