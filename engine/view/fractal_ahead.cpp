// Fractal's lookahead: pixels listed ahead of the pixel query and run as a
// batch on the SIMD kernels, so that a query finds its pixel ready.
#include <algorithm>
#include <memory>
#include <vector>

#include "deep/perturbation_batch.h"
#include "deep/perturbation_plan.h"
#include "view/fractal.h"

namespace quorvel {

namespace {

// Limits up to which listed pixels run on one lane (see run_ahead).
constexpr uint32_t kOneLaneLimit = 8;

}  // namespace

void Fractal::make_lookahead() {
    lookahead_ = std::make_unique<Lookahead>(static_cast<size_t>(pixel_count_), max_iterations_);
    lookahead_->set_logging(note_ready_);
}

// Perturbed pixels start from their offsets to the main reference.
Orbit Fractal::start_orbit(int32_t x, int32_t y) {
    if (perturbed()) {
        PerturbationPlan& p = plan();
        if (p.extended()) return PerturbationPlan::fresh_extended();
        return fresh_perturbed(p.column_offsets()[x], p.row_offsets()[y]);
    }
    if (use_big_float_) return Orbit{};  // the 192-bit kernel keeps its state beside the list
    return fresh_orbit(column_double_.data()[x], row_double_.data()[y]);
}

void Fractal::queue_ahead(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, width_ - 1);
    y1 = std::min(y1, height_ - 1);
    if (x0 > x1 || y0 > y1) return;
    if (!lookahead_) make_lookahead();
    Lookahead& ahead = *lookahead_;
    const MaskedImage& img = *image_;
    const auto list = [&](auto&& start) {
        for (int32_t y = y0; y <= y1; ++y) {
            for (int32_t x = x0; x <= x1; ++x) {
                const size_t i = static_cast<size_t>(y) * width_ + x;
                if (img.is_computed(x, y) || ahead.state(i) != Lookahead::kNone) continue;
                ahead.queue(i, start(x, y));
            }
        }
    };
    // Double views, nearly all the pixels listed, start inline.
    if (!use_big_float_) {
        const double* column = column_double_.data();
        const double* row = row_double_.data();
        list([&](int32_t x, int32_t y) { return fresh_orbit(column[x], row[y]); });
    } else {
        list([&](int32_t x, int32_t y) { return start_orbit(x, y); });
    }
}

bool Fractal::list_ahead(int32_t x, int32_t y) {
    if (image_->is_computed(x, y)) return false;
    if (!lookahead_) make_lookahead();
    const size_t i = static_cast<size_t>(y) * width_ + x;
    if (lookahead_->state(i) != Lookahead::kNone) return false;
    lookahead_->queue(i, use_big_float_
                             ? start_orbit(x, y)
                             : fresh_orbit(column_double_.data()[x], row_double_.data()[y]));
    return true;
}

bool Fractal::run_ahead_at_once(int32_t x, int32_t y, uint32_t steps) {
    if (ahead_ready(x, y)) return true;
    if (!lookahead_) make_lookahead();
    Lookahead& ahead = *lookahead_;
    const size_t i = static_cast<size_t>(y) * width_ + x;
    if (ahead.state(i) == Lookahead::kQueued) return false;
    Orbit orbit = start_orbit(x, y);
    // A cheap pixel costs less on one lane than a trip through the list.
    if (!use_big_float_ && advance_orbit(max_iterations_, orbit, steps)) {
        ahead.settle(i, orbit.n, fraction_of(orbit, i));
        ++computed_count_;
        return true;
    }
    ahead.queue(i, orbit);
    return false;
}

bool Fractal::run_ahead_for(int32_t x, int32_t y, const Budget& budget, size_t recent) {
    if (ahead_ready(x, y)) return true;
    queue_ahead(x, y, x, y);
    const bool perturbed = this->perturbed();
    if (use_big_float_ && !perturbed) {
        // One pixel at a time in list order: the one in flight goes on first.
        run_ahead(budget);
        return ahead_ready(x, y);
    }
    Lookahead& ahead = *lookahead_;
    std::vector<uint32_t>& pending = ahead.pending();
    std::vector<Orbit>& orbits = ahead.orbits();
    const auto i = static_cast<uint32_t>(static_cast<size_t>(y) * width_ + x);
    // Recently listed pixels are the likeliest to be found near the end.
    const auto last = std::find(pending.rbegin(), pending.rend(), i);
    const auto k = static_cast<size_t>(pending.rend() - last) - 1;
    // The perturbed kernel works on the whole list, since its pixels can
    // need another reference that the list shares.
    const size_t window =
        perturbed ? pending.size() : std::min(std::max<size_t>(recent, 1), pending.size());
    const size_t w0 = pending.size() - window;
    // The wanted pixel takes the first lane of the window; the order of the
    // others does not change their counts.
    if (k >= w0) {
        std::rotate(pending.begin() + w0, pending.begin() + k, pending.begin() + k + 1);
        std::rotate(orbits.begin() + w0, orbits.begin() + k, orbits.begin() + k + 1);
    } else {
        std::swap(pending[k], pending[w0]);
        std::swap(orbits[k], orbits[w0]);
    }
    Budget until = budget;
    until.wanted = orbits.data() + w0;
    if (perturbed)
        run_perturbed(until);
    else
        iterate_double_batch(max_iterations_, orbits.data() + w0, window, until);
    computed_count_ +=
        ahead.collect([this](const Orbit& o, size_t i) { return fraction_of(o, i); }, w0);
    return ahead_ready(x, y);
}

bool Fractal::run_perturbed(const Budget& budget) {
    Lookahead& ahead = *lookahead_;
    std::vector<uint32_t>& pending = ahead.pending();
    std::vector<Orbit>& orbits = ahead.orbits();
    PerturbationPlan& p = plan();
    const bool all_done = p.extended() ? p.iterate_batch_extended(orbits.data(), pending.data(),
                                                                  orbits.size(), budget)
                                       : p.iterate_batch(orbits.data(), orbits.size(), budget);
    // Pixels the main reference cannot serve get their count from other
    // references while the budget lasts; the rest wait, done with count 0.
    bool resolved = true;
    for (size_t k = 0; k < pending.size() && resolved; ++k) {
        if (!orbits[k].done || orbits[k].n != kNeedsOtherReference) continue;
        if (ahead.state(pending[k]) != Lookahead::kQueued) continue;
        const size_t i = pending[k];
        EscapedZ z;
        orbits[k].n = p.resolve(static_cast<int32_t>(i % width_), static_cast<int32_t>(i / width_),
                                budget, &z);
        orbits[k].x = z.x;
        orbits[k].y = z.y;
        resolved = orbits[k].n != kNeedsOtherReference;
    }
    return all_done && resolved;
}

bool Fractal::run_ahead(const Budget& budget) {
    if (!lookahead_ || lookahead_->idle()) return true;
    const bool all_done = run_listed(budget);
    computed_count_ +=
        lookahead_->collect([this](const Orbit& o, size_t i) { return fraction_of(o, i); });
    return all_done;
}

bool Fractal::run_listed(const Budget& budget) {
    Lookahead& ahead = *lookahead_;
    bool all_done = true;
    // The kernel follows the view's kind; every kind works on the same list.
    if (perturbed()) {
        all_done = run_perturbed(budget);
    } else if (use_big_float_) {
        std::vector<uint32_t>& pending = ahead.pending();
        std::vector<Orbit>& orbits = ahead.orbits();
        for (size_t k = 0; k < pending.size(); ++k) {
            // A pixel the query computed meanwhile is not iterated again.
            if (ahead.state(pending[k]) != Lookahead::kQueued) {
                orbits[k].done = true;
                ahead.big_orbit() = BigOrbit{};
                continue;
            }
            const size_t i = pending[k];
            const int32_t x = static_cast<int32_t>(i % static_cast<size_t>(width_));
            const int32_t y = static_cast<int32_t>(i / static_cast<size_t>(width_));
            if (!iterate_big_float_resumable(max_iterations_, column_big_float_[x],
                                             row_big_float_[y], ahead.big_orbit(), budget)) {
                all_done = false;
                break;
            }
            const BigOrbit& done = ahead.big_orbit();
            orbits[k].n = done.n;
            orbits[k].x = done.x.to_double();
            orbits[k].y = done.y.to_double();
            orbits[k].done = true;
            ahead.big_orbit() = BigOrbit{};
        }
    } else {
        // At the smallest limits lanes are refilled at nearly every step,
        // which costs more than the steps: one lane is quicker there.
        const SimdLevel level =
            max_iterations_ <= kOneLaneLimit ? SimdLevel::scalar : active_simd_level();
        all_done = iterate_double_batch_at(level, max_iterations_, ahead.orbits().data(),
                                           ahead.orbits().size(), budget);
    }
    return all_done;
}

}  // namespace quorvel
