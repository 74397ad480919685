#include "deep/perturbation_plan.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/stopwatch.h"
#include "deep/bla_table.h"
#include "deep/mpfr_number.h"
#include "deep/perturbation_batch.h"
#include "deep/perturbation_bla.h"
#include "deep/perturbation_bla_ext.h"
#include "deep/perturbation_ext.h"
#include "deep/perturbation_ext_batch.h"
#include "deep/perturbation_precise.h"
#include "deep/precise_bla_table.h"
#include "deep/precise_values.h"

namespace quorvel {

namespace {

// Sampled pixels per side when the centre's orbit escapes too early.
constexpr int32_t kCandidateGrid = 10;
// New main references tried before the pixels are left to extra references.
constexpr int kMaxRounds = 6;
// Seconds of the centre's orbit between two scans for a period.
constexpr double kScanEvery = 0.02;
// Iterations on the SIMD lanes that cost about as much as one step, linear or
// single, of the kernel with linear steps (bench/deep_bench.cpp).
constexpr uint64_t kLaneSteps = 3;
// Steps a sampled pixel takes at most in the trial of the table.
constexpr uint64_t kTrialSteps = 1u << 14;
// Iterations an extended pixel runs between looks at the budget.
constexpr uint32_t kExtendedStepsPerCheck = 4096;
// Longest nucleus orbit that keeps the low parts of its values (16 or 32
// bytes more each) for wider arithmetic.
constexpr uint32_t kMostWithLowParts = 1u << 21;
// Extended views with radii from 2^this up run wider arithmetic in
// double-doubles: pixel steps of some 2^-810 even on wide views leave their
// low parts all their bits.
constexpr int64_t kNarrowestRadius = -800;
// Steps of wider arithmetic between looks at the budget.
constexpr uint32_t kPreciseSteps = 1u << 15;
// Values a pixel's own reference keeps for its neighbours (16 or 32 bytes
// each); past them it only counts.
constexpr uint32_t kOwnKept = 1u << 20;

double magnitude(double x) { return std::fabs(x); }
ExtFloat magnitude(ExtFloat x) { return abs(x); }
double square_root(double x) { return std::sqrt(x); }
ExtFloat square_root(ExtFloat x) { return sqrt(x); }

// A little above the largest |dc| of the grid, as its root rounds.
template <class T>
T largest_offset(const std::vector<T>& columns, const std::vector<T>& rows) {
    T mx(0.0), my(0.0);
    for (const T& d : columns) mx = std::max(mx, magnitude(d));
    for (const T& d : rows) my = std::max(my, magnitude(d));
    return square_root(mx * mx + my * my) * T(1.0 + 0x1p-40);
}

// Seconds left of a budget; a budget without a clock never ends.
double seconds_left(const Budget& budget) {
    return budget.watch ? budget.seconds - budget.watch->elapsed() : 1e300;
}

}  // namespace

struct PerturbationPlan::Reference {
    int32_t x, y;
    ReferenceOrbit orbit;

    // A main reference stops at the longest orbit kept; a pixel's own one
    // goes on counting to the limit, keeping fewer values.
    Reference(int32_t px, int32_t py, const GridCoordinates& grid, long bits, uint32_t limit,
              bool extended, bool own)
        : x(px),
          y(py),
          orbit(start(px, py, grid, bits, own ? limit : std::min(limit, ReferenceOrbit::kMaxLength),
                      extended, own ? kOwnKept : ReferenceOrbit::kMaxLength)),
          grid_(grid) {}

    // A main reference at a point between pixels, whose orbit is kept up to
    // z_{length-1}; x and y name the nearest pixel.
    Reference(mpfr_srcptr cx, mpfr_srcptr cy, const GridCoordinates& grid, long bits,
              uint32_t length, bool extended)
        : x(0),
          y(0),
          orbit(cx, cy, bits, length, extended, ReferenceOrbit::kMaxLength,
                length <= kMostWithLowParts),
          grid_(grid),
          origin_x_(std::make_unique<MpfrNumber>(mpfr_get_prec(cx))),
          origin_y_(std::make_unique<MpfrNumber>(mpfr_get_prec(cy))) {
        mpfr_set(origin_x_->get(), cx, MPFR_RNDN);
        mpfr_set(origin_y_->get(), cy, MPFR_RNDN);
        auto nearest = [](const auto& offsets) {
            auto magnitude_less = [](auto a, auto b) { return magnitude(a) < magnitude(b); };
            return static_cast<int32_t>(
                std::min_element(offsets.begin(), offsets.end(), magnitude_less) - offsets.begin());
        };
        if (extended) {
            x = nearest(std::vector<ExtFloat>(ext_dcx(), ext_dcx() + grid.width()));
            y = nearest(std::vector<ExtFloat>(ext_dcy(), ext_dcy() + grid.height()));
        } else {
            x = nearest(std::vector<double>(dcx(), dcx() + grid.width()));
            y = nearest(std::vector<double>(dcy(), dcy() + grid.height()));
        }
    }

    OrbitSpan span() const { return {orbit.re(), orbit.im(), orbit.length(), orbit.escaped()}; }
    // Pixels may run in double-doubles on an orbit that never ends and keeps
    // its low parts.
    bool precise() const {
        return origin_x_ && (orbit.re_low() || orbit.ext_re_low()) && orbit.complete() &&
               !orbit.escaped();
    }
    PreciseOrbitSpan precise_span() const {
        if (narrow_ > 0)
            return {narrow_re_.data(),     narrow_im_.data(), narrow_re_low_.data(),
                    narrow_im_low_.data(), orbit.length(),    orbit.escaped()};
        return {orbit.re(),         orbit.im(),        orbit.re_low(), orbit.im_low(),
                orbit.length(),     orbit.escaped(),   orbit.ext_re(), orbit.ext_im(),
                orbit.ext_re_low(), orbit.ext_im_low()};
    }
    // An extended orbit as doubles with their low parts, for wider arithmetic
    // on offsets that fit doubles too: formed at the first call, if every
    // value is 0 or far enough inside the double range that its low part
    // keeps its bits. True once wider arithmetic reads them (precise_span).
    bool narrow() {
        if (narrow_ != 0) return narrow_ > 0;
        narrow_ = -1;
        if (!orbit.extended() || !orbit.ext_re_low() || !orbit.complete()) return false;
        const uint32_t n = orbit.length();
        auto fits = [](ExtFloat v) { return v.m == 0.0 || (v.e >= -960 && v.e <= 1000); };
        for (uint32_t k = 0; k < n; ++k)
            if (!fits(orbit.ext_re()[k]) || !fits(orbit.ext_im()[k])) return false;
        auto doubles = [n](const ExtFloat* values, std::vector<double>& out) {
            out.resize(n);
            for (uint32_t k = 0; k < n; ++k) out[k] = values[k].to_double();
        };
        doubles(orbit.ext_re(), narrow_re_);
        doubles(orbit.ext_im(), narrow_im_);
        doubles(orbit.ext_re_low(), narrow_re_low_);
        doubles(orbit.ext_im_low(), narrow_im_low_);
        narrow_ = 1;
        return true;
    }
    // The pixel's exact offset from the reference, rounded to double-doubles.
    // and to twofold long doubles, whose range reaches far below doubles'.
    void precise_offset(int32_t px, int32_t py, DoubleDouble& dcx, DoubleDouble& dcy,
                        LongDoubleDouble& wide_x, LongDoubleDouble& wide_y) const {
        MpfrNumber difference(2), rest(2);
        auto rounded = [&](LongDoubleDouble& wide) {
            mpfr_set_prec(rest.get(), mpfr_get_prec(difference.get()));
            wide.hi = mpfr_get_ld(difference.get(), MPFR_RNDN);
            mpfr_set_ld(rest.get(), wide.hi, MPFR_RNDN);
            mpfr_sub(rest.get(), difference.get(), rest.get(), MPFR_RNDN);
            wide.lo = mpfr_get_ld(rest.get(), MPFR_RNDN);
            DoubleDouble d;
            d.hi = mpfr_get_d(difference.get(), MPFR_RNDN);
            mpfr_sub_d(rest.get(), difference.get(), d.hi, MPFR_RNDN);
            d.lo = mpfr_get_d(rest.get(), MPFR_RNDN);
            return d;
        };
        grid_.set_column_offset(difference.get(), px, origin_x_->get());
        dcx = rounded(wide_x);
        grid_.set_row_offset(difference.get(), py, origin_y_->get());
        dcy = rounded(wide_y);
    }
    ExtOrbitSpan ext_span() const {
        return {orbit.ext_re(), orbit.ext_im(), orbit.length(), orbit.escaped()};
    }

    // Offsets of every column and row, rounded to nearest; formed at the
    // first use, as most references made for one pixel serve only that one.
    const double* dcx() {
        if (dcx_.empty())
            dcx_ =
                origin_x_ ? grid_.column_offsets_from(origin_x_->get()) : grid_.column_offsets(x);
        return dcx_.data();
    }
    const double* dcy() {
        if (dcy_.empty())
            dcy_ = origin_y_ ? grid_.row_offsets_from(origin_y_->get()) : grid_.row_offsets(y);
        return dcy_.data();
    }
    const ExtFloat* ext_dcx() {
        if (ext_dcx_.empty())
            ext_dcx_ = origin_x_ ? grid_.column_offsets_ext_from(origin_x_->get())
                                 : grid_.column_offsets_ext(x);
        return ext_dcx_.data();
    }
    const ExtFloat* ext_dcy() {
        if (ext_dcy_.empty())
            ext_dcy_ =
                origin_y_ ? grid_.row_offsets_ext_from(origin_y_->get()) : grid_.row_offsets_ext(y);
        return ext_dcy_.data();
    }
    size_t memory_size() const {
        return orbit.memory_size() + sizeof(double) * (dcx_.size() + dcy_.size()) +
               sizeof(ExtFloat) * (ext_dcx_.size() + ext_dcy_.size()) +
               (bla ? bla->memory_size() : 0) + (ext_bla ? ext_bla->memory_size() : 0) +
               sizeof(double) * ext_gates_.capacity() +
               (precise_ld ? precise_ld->memory_size() : 0) +
               (precise_dd ? precise_dd->memory_size() : 0) +
               (precise_ldd ? precise_ldd->memory_size() : 0) +
               sizeof(double) * (narrow_re_.capacity() + narrow_im_.capacity() +
                                 narrow_re_low_.capacity() + narrow_im_low_.capacity());
    }

    // Builds the linear steps for pixels of the whole grid for about
    // `seconds`; true once they are complete.
    bool advance_table(double seconds, size_t table_bytes) {
        if (orbit.extended()) {
            if (!ext_bla) {
                ext_dcx();
                ext_dcy();
                ext_bla = std::make_unique<BlaTable<ExtFloat>>(
                    orbit.ext_re(), orbit.ext_im(), orbit.length(),
                    largest_offset(ext_dcx_, ext_dcy_), table_bytes);
            }
            return ext_bla->advance(seconds);
        }
        if (!bla) {
            dcx();
            dcy();
            bla = std::make_unique<BlaTable<double>>(orbit.re(), orbit.im(), orbit.length(),
                                                     largest_offset(dcx_, dcy_), table_bytes);
        }
        return bla->advance(seconds);
    }
    // Pixels take the linear steps: the table is complete and pays.
    bool table_ready() const { return use_table; }
    // Steps and iterations of a sampled pixel with the linear steps, over at
    // most `most` steps.
    void try_table(int32_t x, int32_t y, uint32_t limit, uint64_t most, uint64_t& steps,
                   uint64_t& iterations) {
        uint64_t work = most;
        uint32_t n = 0;
        bool ended = false;
        // The trial runs without cycle detection (nothing remembered before
        // the last count), so that it weighs the kernels as it always did.
        if (orbit.extended()) {
            ExtPixelState s{};
            s.seen.n = UINT32_MAX;
            ended =
                bla_steps_ext(ext_span(), *ext_bla, limit, ext_dcx()[x], ext_dcy()[y], s, work, n);
            if (!ended) n = s.n;
        } else {
            PixelState s{0.0, 0.0, 0, 0, 0.0};
            s.seen_n = UINT32_MAX;
            ended = bla_steps(span(), *bla, limit, dcx()[x], dcy()[y], s, work, n);
            if (!ended) n = s.n;
        }
        steps += most - work + (ended ? 1 : 0);
        // A pixel left to other references would have run to about the limit.
        iterations += ended && n == kNeedsOtherReference ? limit : n;
    }
    void drop_table() {
        bla.reset();
        ext_bla.reset();
        ext_gates_ = std::vector<double>();
    }
    // What the lanes read of the complete extended table (form_bla_gates),
    // formed at the first call.
    const double* ext_gates() {
        if (ext_gates_.empty()) form_bla_gates(*ext_bla, orbit.length(), ext_gates_);
        return ext_gates_.data();
    }

    // The linear steps of wider arithmetic in T for the grid's pixels, built
    // for about `seconds` at the first pixel that needs them; null until
    // complete.
    template <class T>
    const PreciseBlaTable<T>* precise_table(double seconds, size_t table_bytes) {
        std::unique_ptr<PreciseBlaTable<T>>& table = precise_table_of(T{});
        if (!table) {
            const long double c_max =
                orbit.extended()
                    ? precise_detail::to_long_double(largest_offset(
                          std::vector<ExtFloat>(ext_dcx(), ext_dcx() + grid_.width()),
                          std::vector<ExtFloat>(ext_dcy(), ext_dcy() + grid_.height())))
                    : largest_offset(std::vector<double>(dcx(), dcx() + grid_.width()),
                                     std::vector<double>(dcy(), dcy() + grid_.height()));
            table = std::make_unique<PreciseBlaTable<T>>(precise_span(), c_max, table_bytes);
        }
        return table->advance(seconds) ? table.get() : nullptr;
    }

    std::unique_ptr<BlaTable<double>> bla;
    std::unique_ptr<BlaTable<ExtFloat>> ext_bla;
    bool use_table = false;
    std::unique_ptr<PreciseBlaTable<long double>> precise_ld;
    std::unique_ptr<PreciseBlaTable<DoubleDouble>> precise_dd;
    std::unique_ptr<PreciseBlaTable<LongDoubleDouble>> precise_ldd;

private:
    std::unique_ptr<PreciseBlaTable<long double>>& precise_table_of(long double) {
        return precise_ld;
    }
    std::unique_ptr<PreciseBlaTable<DoubleDouble>>& precise_table_of(DoubleDouble) {
        return precise_dd;
    }
    std::unique_ptr<PreciseBlaTable<LongDoubleDouble>>& precise_table_of(LongDoubleDouble) {
        return precise_ldd;
    }
    static ReferenceOrbit start(int32_t px, int32_t py, const GridCoordinates& grid, long bits,
                                uint32_t limit, bool extended, uint32_t kept) {
        MpfrNumber cx(bits), cy(bits);
        grid.set_column(cx.get(), px);
        grid.set_row(cy.get(), py);
        return ReferenceOrbit(cx.get(), cy.get(), bits, limit, extended, kept);
    }

    const GridCoordinates& grid_;
    // The reference's point when it lies between pixels.
    std::unique_ptr<MpfrNumber> origin_x_, origin_y_;
    std::vector<double> dcx_, dcy_;
    std::vector<ExtFloat> ext_dcx_, ext_dcy_;
    std::vector<double> ext_gates_;
    // narrow(): 0 not yet asked, 1 formed, -1 the orbit does not fit.
    int narrow_ = 0;
    std::vector<double> narrow_re_, narrow_im_, narrow_re_low_, narrow_im_low_;
};

PerturbationPlan::PerturbationPlan(const std::vector<BigFloat>& columns,
                                   const std::vector<BigFloat>& rows, double radius,
                                   uint32_t max_iterations, bool skipping)
    : grid_(columns, rows),
      extended_(false),
      skipping_(skipping),
      bits_(reference_bits(radius)),
      limit_(max_iterations),
      radius_(radius),
      main_(make_reference(static_cast<int32_t>(columns.size() / 2),
                           static_cast<int32_t>(rows.size() / 2))),
      nucleus_(std::make_unique<NucleusSearch>(radius_)) {}

PerturbationPlan::PerturbationPlan(const GridCoordinates& grid, ExtFloat radius,
                                   ExtFloat pixel_step, uint32_t max_iterations, bool skipping)
    : grid_(grid),
      extended_(abs(pixel_step) < ExtFloat(kExtendedBelowStep)),
      skipping_(skipping),
      bits_(reference_bits(radius)),
      limit_(max_iterations),
      radius_(radius),
      main_(make_reference(grid.width() / 2, grid.height() / 2)),
      nucleus_(std::make_unique<NucleusSearch>(radius_)) {}

PerturbationPlan::~PerturbationPlan() = default;

std::unique_ptr<PerturbationPlan::Reference> PerturbationPlan::make_nucleus_reference() const {
    MpfrNumber cx(bits_), cy(bits_), d(bits_);
    grid_.set_column(cx.get(), main_->x);
    grid_.set_row(cy.get(), main_->y);
    set_from_ext(d.get(), nucleus_->offset_re());
    mpfr_add(cx.get(), cx.get(), d.get(), MPFR_RNDN);
    set_from_ext(d.get(), nucleus_->offset_im());
    mpfr_add(cy.get(), cy.get(), d.get(), MPFR_RNDN);
    // z_0 .. z_p: a pixel at the end goes on from the start.
    return std::make_unique<Reference>(cx.get(), cy.get(), grid_, bits_, nucleus_->period() + 1,
                                       extended_);
}

std::unique_ptr<PerturbationPlan::Reference> PerturbationPlan::make_reference(int32_t x, int32_t y,
                                                                              bool own) const {
    return std::make_unique<Reference>(x, y, grid_, bits_, limit_, extended_, own);
}

int32_t PerturbationPlan::reference_x() const { return main_->x; }
int32_t PerturbationPlan::reference_y() const { return main_->y; }
const ReferenceOrbit& PerturbationPlan::main_orbit() const { return main_->orbit; }

size_t PerturbationPlan::memory_size() const {
    return main_->memory_size() + (building_ ? building_->memory_size() : 0) +
           waiting_.size() * (sizeof(Waiting) + 32) + extra_memory();
}

PreciseOrbitSpan PerturbationPlan::precise_orbit() const { return main_->precise_span(); }

void PerturbationPlan::precise_offset(int32_t x, int32_t y, DoubleDouble& dcx, DoubleDouble& dcy,
                                      LongDoubleDouble& wide_x, LongDoubleDouble& wide_y) const {
    main_->precise_offset(x, y, dcx, dcy, wide_x, wide_y);
}

size_t PerturbationPlan::extra_memory() const {
    size_t size = 0;
    for (const auto& r : extra_) size += r->memory_size();
    return size;
}

bool PerturbationPlan::prepare(double seconds) {
    Stopwatch watch;
    // Every call makes some progress, however short its time.
    for (bool first = true; stage_ != Stage::ready; first = false) {
        const double left = seconds - watch.elapsed();
        if (left <= 0.0 && !first) break;
        if (stage_ == Stage::table) {
            // The table takes at most half the memory the other references may.
            if (main_->advance_table(left, memory_cap_ / 2)) stage_ = Stage::trial;
        } else if (stage_ == Stage::trial) {
            if (try_table(seconds, watch.elapsed())) stage_ = Stage::ready;
        } else if (stage_ == Stage::nucleus) {
            const NucleusSearch::Result r = nucleus_->solve(main_->orbit, left);
            if (r == NucleusSearch::Result::working) continue;
            if (r == NucleusSearch::Result::found) {
                // Pixels rebase onto the nucleus's orbit, which never escapes.
                main_ = make_nucleus_reference();
                nucleus_.reset();
            } else if (!nucleus_->tries_left()) {
                nucleus_.reset();
            }
            stage_ = Stage::orbit;
        } else if (stage_ == Stage::orbit) {
            // While the centre's orbit grows, its values are scanned for the
            // period of a nucleus near the view.
            const bool complete =
                main_->orbit.advance(nucleus_ ? std::min(left, kScanEvery) : left);
            if (nucleus_ && nucleus_->scan(main_->orbit, seconds - watch.elapsed())) {
                stage_ = Stage::nucleus;
                continue;
            }
            if (nucleus_ && (!complete || !nucleus_->caught_up(main_->orbit))) continue;
            if (!complete) break;
            nucleus_.reset();
            if (!main_->orbit.escaped() || rounds_ >= kMaxRounds) {
                stage_ = searched();
                continue;
            }
            // The orbit escaped before the limit: look for sampled pixels that
            // outlast it. The first round samples a grid, later ones re-try
            // the pixels that outlasted the previous reference.
            if (rounds_ == 0) {
                const int32_t w = grid_.width();
                const int32_t h = grid_.height();
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
                stage_ = searched();
            } else {
                // The sampled pixel nearest the centre that outlasted the
                // reference escapes later than it: it becomes the reference.
                const int32_t w = grid_.width();
                const int32_t cx = w / 2, cy = grid_.height() / 2;
                auto distance = [&](int32_t p) {
                    const int64_t dx = p % w - cx, dy = p / w - cy;
                    return dx * dx + dy * dy;
                };
                const int32_t best = *std::min_element(
                    outlasting_.begin(), outlasting_.end(),
                    [&](int32_t a, int32_t b) { return distance(a) < distance(b); });
                main_ = make_reference(best % w, best / w);
                // Its orbit goes further: a nucleus of a longer period may show.
                nucleus_ = std::make_unique<NucleusSearch>(radius_);
                ++rounds_;
                stage_ = Stage::orbit;
            }
        }
    }
    return stage_ == Stage::ready;
}

bool PerturbationPlan::evaluate_candidates(double seconds, double started) {
    Stopwatch watch;
    const int32_t w = grid_.width();
    // A pixel that rebases often can run far past the reference; past a few
    // reference lengths it is not the one to follow.
    const uint64_t cap = std::max<uint64_t>(4ull * main_->orbit.length(), 1024);
    const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(limit_, cap));
    while (next_candidate_ < candidates_.size()) {
        const int32_t p = candidates_[next_candidate_++];
        if (iterate_on(*main_, p % w, p / w, limit) == kNeedsOtherReference)
            outlasting_.push_back(p);
        if (started + watch.elapsed() >= seconds) break;
    }
    return next_candidate_ == candidates_.size();
}

uint32_t PerturbationPlan::iterate_on(Reference& ref, int32_t x, int32_t y, uint32_t limit,
                                      EscapedZ* z) const {
    if (ref.table_ready()) {
        if (extended_)
            return iterate_bla_ext(ref.ext_span(), *ref.ext_bla, limit, ref.ext_dcx()[x],
                                   ref.ext_dcy()[y], nullptr, z);
        return iterate_bla(ref.span(), *ref.bla, limit, ref.dcx()[x], ref.dcy()[y], nullptr, z);
    }
    if (extended_)
        return iterate_perturbed_ext(ref.ext_span(), limit, ref.ext_dcx()[x], ref.ext_dcy()[y], z);
    return iterate_perturbed(ref.span(), limit, ref.dcx()[x], ref.dcy()[y], z);
}

bool PerturbationPlan::uses_table() const { return main_->table_ready(); }

bool PerturbationPlan::try_table(double seconds, double started) {
    Stopwatch watch;
    const int32_t w = grid_.width(), h = grid_.height();
    while (tried_ < kCandidateGrid * kCandidateGrid) {
        const int32_t i = tried_ % kCandidateGrid, j = tried_ / kCandidateGrid;
        const auto x = static_cast<int32_t>((2 * i + 1) * int64_t{w} / (2 * kCandidateGrid));
        const auto y = static_cast<int32_t>((2 * j + 1) * int64_t{h} / (2 * kCandidateGrid));
        main_->try_table(x, y, limit_, kTrialSteps, trial_steps_, trial_iterations_);
        ++tried_;
        if (started + watch.elapsed() >= seconds) return false;
    }
    // A linear step or a single one on one lane costs about as much as
    // kLaneSteps iterations on the SIMD lanes: where the steps save less, the
    // lanes are quicker.
    const uint64_t lanes = active_simd_level() == SimdLevel::scalar ? 1 : kLaneSteps;
    main_->use_table = trial_steps_ * lanes < trial_iterations_;
    if (!main_->use_table) main_->drop_table();
    return true;
}

PerturbationPlan::Stage PerturbationPlan::searched() const {
    return skipping_ ? Stage::table : Stage::ready;
}

void PerturbationPlan::finish_search() {
    while (!prepare(1.0)) {
    }
}

uint32_t PerturbationPlan::iterate(int32_t x, int32_t y, EscapedZ* z) {
    finish_search();
    const uint32_t n = iterate_on(*main_, x, y, limit_, z);
    return n != kNeedsOtherReference ? n : iterate_elsewhere(x, y, z);
}

uint32_t PerturbationPlan::iterate_elsewhere(int32_t x, int32_t y, EscapedZ* z) {
    return resolve(x, y, Budget{}, z);
}

const double* PerturbationPlan::column_offsets() {
    finish_search();
    return main_->dcx();
}

const double* PerturbationPlan::row_offsets() {
    finish_search();
    return main_->dcy();
}

const ExtFloat* PerturbationPlan::column_offsets_ext() {
    finish_search();
    return main_->ext_dcx();
}

const ExtFloat* PerturbationPlan::row_offsets_ext() {
    finish_search();
    return main_->ext_dcy();
}

bool PerturbationPlan::iterate_batch(Orbit* pixels, size_t count, const Budget& budget) {
    finish_search();
    if (main_->table_ready())
        return iterate_bla_batch(main_->span(), *main_->bla, limit_, pixels, count, budget);
    return iterate_perturbed_batch(main_->span(), limit_, pixels, count, budget);
}

bool PerturbationPlan::iterate_batch_extended(Orbit* records, const uint32_t* pixels, size_t count,
                                              const Budget& budget) {
    finish_search();
    // The lanes read a double copy of the orbit, formed at their first use;
    // with the linear steps, they take the single steps.
    ReferenceOrbit& orbit = main_->orbit;
    const bool lanes = active_simd_level() != SimdLevel::scalar;
    const ExtBatch batch{main_->ext_span(),
                         lanes ? orbit.lane_re() : nullptr,
                         lanes ? orbit.lane_im() : nullptr,
                         main_->ext_dcx(),
                         main_->ext_dcy(),
                         pixels,
                         static_cast<uint32_t>(grid_.width())};
    if (main_->table_ready())
        return iterate_bla_ext_batch(batch, *main_->ext_bla, limit_, records, count, budget,
                                     lanes ? main_->ext_gates() : nullptr);
    return iterate_perturbed_ext_batch(batch, limit_, records, count, budget);
}

// The nearest extra reference not yet tried by the pixel; neighbours of an
// outlasting pixel usually outlast the main reference alike.
PerturbationPlan::Reference* PerturbationPlan::nearest_untried(int32_t x, int32_t y,
                                                               const Waiting& w) const {
    auto distance = [&](const Reference& r) {
        const int64_t dx = r.x - x, dy = r.y - y;
        return dx * dx + dy * dy;
    };
    Reference* best = nullptr;
    for (const auto& r : extra_) {
        if (std::find(w.tried, w.tried + w.tries, r.get()) != w.tried + w.tries) continue;
        if (!best || distance(*r) < distance(*best)) best = r.get();
    }
    return best;
}

bool PerturbationPlan::run_on(Reference& ref, int32_t x, int32_t y, Waiting& w,
                              const Budget& budget, uint32_t& n) {
    if (w.on != &ref) {
        w.on = &ref;
        w.state = PixelState{0.0, 0.0, 0, 0, 0.0};
        w.ext_state = ExtPixelState{};
    }
    for (;;) {
        const bool ended =
            extended_
                ? perturbed_steps_ext(ref.ext_span(), limit_, ref.ext_dcx()[x], ref.ext_dcy()[y],
                                      w.ext_state, kExtendedStepsPerCheck, n)
                : perturbed_steps(ref.span(), limit_, ref.dcx()[x], ref.dcy()[y], w.state,
                                  kExtendedStepsPerCheck * 8, n);
        if (ended) {
            w.on = nullptr;
            return true;
        }
        if (budget.time_over()) return false;
    }
}

bool PerturbationPlan::precise_reaches() const {
    // Extended offsets and their squares need long double's range: a 15-bit
    // exponent holds squares down to 2^-16445.
    return !extended_ ||
           (std::numeric_limits<long double>::max_exponent >= 16384 && radius_.exponent() > -7000);
}

bool PerturbationPlan::run_precise(int32_t x, int32_t y, Waiting& w, const Budget& budget,
                                   uint32_t& n, EscapedZ& escaped) {
    if (!w.precise) {
        w.precise = std::make_unique<Precise>();
        main_->precise_offset(x, y, w.precise->dcx, w.precise->dcy, w.precise->wide_x,
                              w.precise->wide_y);
    }
    Precise& p = *w.precise;
    // Extended offsets of a view not far below the double range, on an orbit
    // that fits doubles, run in double-doubles with long double tests.
    const bool narrow = extended_ && radius_.exponent() >= kNarrowestRadius && main_->narrow();
    const PreciseOrbitSpan orbit = main_->precise_span();
    // Where pixels take linear steps, wider arithmetic takes them too, from
    // tables in its types built a slice at a time (long double's within a
    // sixteenth of the memory budget, twofold sums' an eighth); a pixel waits
    // until its table is complete.
    const bool linear = main_->table_ready();
    auto table = [&](auto type, size_t bytes, auto*& t) {
        if (!linear || t) return true;
        t = main_->precise_table<decltype(type)>(seconds_left(budget), bytes);
        return t != nullptr;
    };
    const PreciseBlaTable<long double>* wide_table = nullptr;
    const PreciseBlaTable<DoubleDouble>* dd_table = nullptr;
    const PreciseBlaTable<LongDoubleDouble>* wide_dd_table = nullptr;
    // Double-doubles have the range of doubles only; other extended offsets
    // take twofold long doubles.
    for (;;) {
        bool ended = false;
        if (p.tier == 0) {
            if (!table(0.0L, memory_cap_ / 16, wide_table)) return false;
            ended = precise_steps(orbit, limit_, p.wide_x.hi, p.wide_y.hi, p.wide, kPreciseSteps, n,
                                  wide_table);
        } else if (!extended_) {
            if (!table(DoubleDouble{}, memory_cap_ / 8, dd_table)) return false;
            ended =
                precise_steps(orbit, limit_, p.dcx, p.dcy, p.dd, kPreciseSteps / 8, n, dd_table);
        } else if (narrow) {
            if (!table(DoubleDouble{}, memory_cap_ / 8, dd_table)) return false;
            ended = precise_steps<DoubleDouble, long double>(orbit, limit_, p.dcx, p.dcy, p.dd,
                                                             kPreciseSteps / 8, n, dd_table);
        } else {
            if (!table(LongDoubleDouble{}, memory_cap_ / 8, wide_dd_table)) return false;
            ended = precise_steps(orbit, limit_, p.wide_x, p.wide_y, p.wide_dd, kPreciseSteps / 16,
                                  n, wide_dd_table);
        }
        if (ended && (n != kNeedsOtherReference || p.tier == 1)) break;
        // Long double could not vouch for the count either: twofold sums.
        if (ended) ++p.tier;
        if (budget.time_over()) return false;
    }
    escaped = p.tier == 0            ? p.wide.escaped
              : extended_ && !narrow ? p.wide_dd.escaped
                                     : p.dd.escaped;
    w.precise.reset();
    return true;
}

uint32_t PerturbationPlan::resolve(int32_t x, int32_t y, const Budget& budget, EscapedZ* z) {
    finish_search();
    const uint32_t key =
        static_cast<uint32_t>(y) * static_cast<uint32_t>(grid_.width()) + static_cast<uint32_t>(x);
    Waiting& w = waiting_[key];
    if (w.count != 0) return settle(key, w.count, w.escaped, z);
    auto stepped = [&] { return extended_ ? w.ext_state.escaped : w.state.escaped; };
    const bool precise = main_->precise() && precise_reaches();
    // A pixel the linear steps left undecided is stepped on the main
    // reference, where the error of their dropped terms is gone; or at once
    // in wider arithmetic, whose own linear steps decide it with far fewer.
    if (main_->table_ready() && !precise && !w.stepped_main) {
        uint32_t n = 0;
        if (!run_on(*main_, x, y, w, budget, n)) return 0;
        w.stepped_main = true;
        if (n != kNeedsOtherReference) return settle(key, n, stepped(), z);
    }
    // Then in wider arithmetic on a main reference that never ends: the error
    // estimate vouches there for nearly every count it could not in doubles.
    if (precise && !w.stepped_precise) {
        uint32_t n = 0;
        EscapedZ escaped;
        if (!run_precise(x, y, w, budget, n, escaped)) return 0;
        w.stepped_precise = true;
        if (n != kNeedsOtherReference) return settle(key, n, escaped, z);
    }
    // The two nearest extra references first.
    while (w.tries < 2) {
        Reference* r = w.on ? w.on : nearest_untried(x, y, w);
        if (!r) break;
        uint32_t n = 0;
        if (!run_on(*r, x, y, w, budget, n)) return 0;
        if (n != kNeedsOtherReference) return settle(key, n, stepped(), z);
        w.tried[w.tries++] = r;
    }
    // Then the pixel's own reference, which decides its count exactly. One is
    // built at a time, a slice at a time; a pixel whose turn has not come
    // waits, the work on the one under way going on meanwhile.
    for (;;) {
        if (!building_) {
            building_ = make_reference(x, y, true);
            ++own_built_;
            building_key_ = key;
        }
        // Every call advances the orbit a little, however short its budget.
        if (!building_->orbit.complete() && !building_->orbit.advance(seconds_left(budget)))
            return 0;
        const uint32_t count = building_->orbit.own_count(limit_);
        const EscapedZ escaped = building_->orbit.latest_z();
        waiting_[building_key_].count = count;
        waiting_[building_key_].escaped = escaped;
        keep_reference(std::move(building_));
        if (building_key_ == key) return settle(key, count, escaped, z);
        if (budget.time_over()) return 0;
    }
}

uint32_t PerturbationPlan::settle(uint32_t key, uint32_t count, EscapedZ escaped, EscapedZ* z) {
    if (z) *z = escaped;
    waiting_.erase(key);
    return count;
}

void PerturbationPlan::keep_reference(std::unique_ptr<Reference> ref) {
    // Past the most references a view keeps, or its share of memory, the
    // oldest goes; pixels that were running on it start again elsewhere.
    extra_.push_back(std::move(ref));
    while (!extra_.empty() &&
           (extra_.size() + 1 > kMaxReferences || extra_memory() > memory_cap_)) {
        const Reference* gone = extra_.front().get();
        for (auto& [key, w] : waiting_) {
            if (w.on == gone) w.on = nullptr;
            for (int k = 0; k < w.tries; ++k)
                if (w.tried[k] == gone) w.tried[k] = nullptr;
        }
        extra_.erase(extra_.begin());
    }
}

void PerturbationPlan::set_memory_cap(size_t bytes) { memory_cap_ = bytes; }

}  // namespace quorvel
