#include "deep/perturbation_plan.h"

#include <algorithm>

#include "base/stopwatch.h"
#include "deep/perturbation_batch.h"

namespace quorvel {

namespace {

// Sampled pixels per side when the centre's orbit escapes too early.
constexpr int32_t kCandidateGrid = 10;
// New main references tried before the pixels are left to extra references.
constexpr int kMaxRounds = 6;
// Exact differences of two coordinates, before their rounding to double.
constexpr long kDifferenceBits = 512;

}  // namespace

struct PerturbationPlan::Reference {
    int32_t x, y;
    ReferenceOrbit orbit;

    Reference(int32_t px, int32_t py, const std::vector<BigFloat>& columns,
              const std::vector<BigFloat>& rows, long bits, uint32_t limit)
        : x(px), y(py), orbit(columns[px], rows[py], bits, limit), columns_(columns), rows_(rows) {}

    OrbitSpan span() const { return {orbit.re(), orbit.im(), orbit.length(), orbit.escaped()}; }

    // Offsets of every column and row, rounded to nearest; formed at the
    // first use, as most references made for one pixel serve only that one.
    const double* dcx() {
        if (dcx_.empty()) dcx_ = offsets(columns_, columns_[static_cast<size_t>(x)]);
        return dcx_.data();
    }
    const double* dcy() {
        if (dcy_.empty()) dcy_ = offsets(rows_, rows_[static_cast<size_t>(y)]);
        return dcy_.data();
    }
    size_t memory_size() const {
        return orbit.memory_size() + sizeof(double) * (dcx_.size() + dcy_.size());
    }

private:
    static std::vector<double> offsets(const std::vector<BigFloat>& table, const BigFloat& origin) {
        MpfrNumber a(kDifferenceBits), b(kDifferenceBits);
        set_from_big_float(b.get(), origin);
        std::vector<double> out(table.size());
        for (size_t i = 0; i < table.size(); ++i) {
            set_from_big_float(a.get(), table[i]);
            mpfr_sub(a.get(), a.get(), b.get(), MPFR_RNDN);
            out[i] = mpfr_get_d(a.get(), MPFR_RNDN);
        }
        return out;
    }

    const std::vector<BigFloat>& columns_;
    const std::vector<BigFloat>& rows_;
    std::vector<double> dcx_, dcy_;
};

PerturbationPlan::PerturbationPlan(const std::vector<BigFloat>& columns,
                                   const std::vector<BigFloat>& rows, double radius,
                                   uint32_t max_iterations)
    : columns_(columns),
      rows_(rows),
      bits_(reference_bits(radius)),
      limit_(max_iterations),
      main_(make_reference(static_cast<int32_t>(columns.size() / 2),
                           static_cast<int32_t>(rows.size() / 2))) {}

PerturbationPlan::~PerturbationPlan() = default;

std::unique_ptr<PerturbationPlan::Reference> PerturbationPlan::make_reference(int32_t x,
                                                                              int32_t y) const {
    return std::make_unique<Reference>(x, y, columns_, rows_, bits_, limit_);
}

int32_t PerturbationPlan::reference_x() const { return main_->x; }
int32_t PerturbationPlan::reference_y() const { return main_->y; }
const ReferenceOrbit& PerturbationPlan::main_orbit() const { return main_->orbit; }

size_t PerturbationPlan::memory_size() const {
    size_t size = main_->memory_size();
    for (const auto& r : extra_) size += r->memory_size();
    return size;
}

bool PerturbationPlan::prepare(double seconds) {
    Stopwatch watch;
    // Every call makes some progress, however short its time.
    for (bool first = true; stage_ != Stage::ready; first = false) {
        const double left = seconds - watch.elapsed();
        if (left <= 0.0 && !first) break;
        if (stage_ == Stage::orbit) {
            if (!main_->orbit.advance(left)) break;
            if (!main_->orbit.escaped() || rounds_ >= kMaxRounds) {
                stage_ = Stage::ready;
                break;
            }
            // The orbit escaped before the limit: look for sampled pixels that
            // outlast it. The first round samples a grid, later ones re-try
            // the pixels that outlasted the previous reference.
            if (rounds_ == 0) {
                const int32_t w = static_cast<int32_t>(columns_.size());
                const int32_t h = static_cast<int32_t>(rows_.size());
                for (int32_t j = 0; j < kCandidateGrid; ++j)
                    for (int32_t i = 0; i < kCandidateGrid; ++i) {
                        const int32_t x =
                            static_cast<int32_t>((2 * i + 1) * int64_t{w} / (2 * kCandidateGrid));
                        const int32_t y =
                            static_cast<int32_t>((2 * j + 1) * int64_t{h} / (2 * kCandidateGrid));
                        candidates_.push_back(y * w + x);
                    }
            } else {
                candidates_.swap(outlasting_);
            }
            outlasting_.clear();
            next_candidate_ = 0;
            stage_ = Stage::candidates;
        } else if (evaluate_candidates(seconds, watch.elapsed())) {
            if (outlasting_.empty()) {
                stage_ = Stage::ready;
            } else {
                // The sampled pixel nearest the centre that outlasted the
                // reference escapes later than it: it becomes the reference.
                const int32_t w = static_cast<int32_t>(columns_.size());
                const int32_t cx = w / 2, cy = static_cast<int32_t>(rows_.size() / 2);
                auto distance = [&](int32_t p) {
                    const int64_t dx = p % w - cx, dy = p / w - cy;
                    return dx * dx + dy * dy;
                };
                const int32_t best = *std::min_element(
                    outlasting_.begin(), outlasting_.end(),
                    [&](int32_t a, int32_t b) { return distance(a) < distance(b); });
                main_ = make_reference(best % w, best / w);
                ++rounds_;
                stage_ = Stage::orbit;
            }
        }
    }
    return stage_ == Stage::ready;
}

bool PerturbationPlan::evaluate_candidates(double seconds, double started) {
    Stopwatch watch;
    const int32_t w = static_cast<int32_t>(columns_.size());
    // A pixel that rebases often can run far past the reference; past a few
    // reference lengths it is not the one to follow.
    const uint64_t cap = std::max<uint64_t>(4ull * main_->orbit.length(), 1024);
    const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(limit_, cap));
    const OrbitSpan span = main_->span();
    while (next_candidate_ < candidates_.size()) {
        const int32_t p = candidates_[next_candidate_++];
        if (iterate_perturbed(span, limit, main_->dcx()[p % w], main_->dcy()[p / w]) ==
            kNeedsOtherReference)
            outlasting_.push_back(p);
        if (started + watch.elapsed() >= seconds) break;
    }
    return next_candidate_ == candidates_.size();
}

uint32_t PerturbationPlan::iterate_on(Reference& ref, int32_t x, int32_t y) const {
    return iterate_perturbed(ref.span(), limit_, ref.dcx()[x], ref.dcy()[y]);
}

void PerturbationPlan::finish_search() {
    while (!prepare(1.0)) {
    }
}

uint32_t PerturbationPlan::iterate(int32_t x, int32_t y) {
    finish_search();
    const uint32_t n = iterate_on(*main_, x, y);
    return n != kNeedsOtherReference ? n : iterate_elsewhere(x, y);
}

const double* PerturbationPlan::column_offsets() {
    finish_search();
    return main_->dcx();
}

const double* PerturbationPlan::row_offsets() {
    finish_search();
    return main_->dcy();
}

bool PerturbationPlan::iterate_batch(Orbit* pixels, size_t count, const Budget& budget) {
    finish_search();
    return iterate_perturbed_batch(main_->span(), limit_, pixels, count, budget);
}

uint32_t PerturbationPlan::iterate_elsewhere(int32_t x, int32_t y) {
    finish_search();
    // The two nearest extra references first; neighbours of an outlasting
    // pixel usually outlast the main reference alike.
    auto distance = [&](const Reference& r) {
        const int64_t dx = r.x - x, dy = r.y - y;
        return dx * dx + dy * dy;
    };
    Reference* nearest[2] = {nullptr, nullptr};
    for (const auto& r : extra_) {
        if (!nearest[0] || distance(*r) < distance(*nearest[0])) {
            nearest[1] = nearest[0];
            nearest[0] = r.get();
        } else if (!nearest[1] || distance(*r) < distance(*nearest[1])) {
            nearest[1] = r.get();
        }
    }
    for (Reference* r : nearest) {
        if (!r) continue;
        const uint32_t n = iterate_on(*r, x, y);
        if (n != kNeedsOtherReference) return n;
    }
    // The pixel becomes a reference itself, which decides its count exactly;
    // past the most references a view keeps, it is dropped after use.
    std::unique_ptr<Reference> own = make_reference(x, y);
    own->orbit.complete_now();
    uint32_t n = own->orbit.own_count(limit_);
    if (n == 0) n = iterate_on(*own, x, y);  // an orbit cut short: rebases at its end
    if (n == 0)
        n = iterate_big_float(limit_, columns_[static_cast<size_t>(x)],
                              rows_[static_cast<size_t>(y)]);
    if (extra_.size() + 1 < kMaxReferences && memory_size() + own->memory_size() <= kMaxBytes)
        extra_.push_back(std::move(own));
    return n;
}

}  // namespace quorvel
