// PerturbationPlan: the references of one deep view and the pixel query on
// them. A reference is searched first, a time slice at a time: the nucleus of
// a minibrot near the view when its period shows along the centre's orbit,
// else the centre, then, while sampled pixels outlast it, one of those pixels
// (or a nucleus near it). Pixels that still outlast it, or whose counts its
// error estimate cannot vouch for, get references of their own, which their
// neighbours reuse.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "bigfloat/big_float.h"
#include "bigfloat/ext_float.h"
#include "bigfloat/orbit_batch.h"
#include "deep/grid_coordinates.h"
#include "deep/nucleus_search.h"
#include "deep/perturbation.h"
#include "deep/perturbation_ext.h"
#include "deep/perturbation_precise.h"
#include "deep/perturbation_step.h"
#include "deep/reference_orbit.h"

namespace quorvel {

class PerturbationPlan {
public:
    // The view's coordinate tables must outlive the plan unchanged. With
    // `skipping`, the main reference gets a BlaTable once the search is done,
    // and its pixels take its linear steps where a trial finds they pay.
    PerturbationPlan(const std::vector<BigFloat>& columns, const std::vector<BigFloat>& rows,
                     double radius, uint32_t max_iterations, bool skipping = false);
    // Pixels at any depth; offsets are extended once the pixel step is below
    // the double range's headroom (kExtendedBelowStep).
    PerturbationPlan(const GridCoordinates& grid, ExtFloat radius, ExtFloat pixel_step,
                     uint32_t max_iterations, bool skipping = false);
    ~PerturbationPlan();
    PerturbationPlan(const PerturbationPlan&) = delete;
    PerturbationPlan& operator=(const PerturbationPlan&) = delete;

    // Works on the reference search, then on the table of linear steps and a
    // trial of whether it pays, for about `seconds`; true once pixels can be
    // computed.
    bool prepare(double seconds);
    bool ready() const { return stage_ == Stage::ready; }
    // The pixel's count; finishes the search first if it is not done. An
    // escaped pixel's z goes to `z` (so do those of the calls below).
    uint32_t iterate(int32_t x, int32_t y, EscapedZ* z = nullptr);
    // Pixels are offsets with an extended exponent: records of the batch are
    // fresh_extended() and run by iterate_batch_extended().
    bool extended() const { return extended_; }
    bool skipping() const { return skipping_; }
    // Pixels on the main reference take linear steps: skipping, and the trial
    // found that they pay.
    bool uses_table() const;
    // Offsets of every column and row from the main reference, for records of
    // the batch kernel (fresh_perturbed); finish the search first.
    const double* column_offsets();
    const double* row_offsets();
    // The same with an extended exponent, for views at any depth.
    const ExtFloat* column_offsets_ext();
    const ExtFloat* row_offsets_ext();
    // Runs such records on the main reference (perturbation_batch.h).
    bool iterate_batch(Orbit* pixels, size_t count, const Budget& budget);
    // A record of an extended plan's batch: its state lives in the record,
    // its place in the grid in the caller's list beside it.
    static Orbit fresh_extended() { return Orbit{0.0, 0.0, 0.0, 0.0, 0, 0, false}; }
    // Runs such records on the main reference (perturbation_ext_batch.h);
    // pixels[k] is the grid index (y * width + x) of records[k].
    bool iterate_batch_extended(Orbit* records, const uint32_t* pixels, size_t count,
                                const Budget& budget);
    // The count of a pixel the main reference cannot serve.
    uint32_t iterate_elsewhere(int32_t x, int32_t y, EscapedZ* z = nullptr);
    // The same while the budget lasts: the count, or 0 when the budget ended
    // first; the work so far is kept for the next call.
    uint32_t resolve(int32_t x, int32_t y, const Budget& budget, EscapedZ* z = nullptr);
    // Memory the references other than the main one may take together;
    // beyond it the oldest are released.
    void set_memory_cap(size_t bytes);

    size_t reference_count() const { return 1 + extra_.size(); }
    // Pixels that got an orbit of their own so far.
    size_t own_references_built() const { return own_built_; }
    // The main reference's pixel (the nearest one when it lies between
    // pixels) and orbit, once the search is done.
    int32_t reference_x() const;
    int32_t reference_y() const;
    const ReferenceOrbit& main_orbit() const;
    size_t memory_size() const;
    size_t extra_memory() const;
    // The main reference as wider arithmetic reads it, and a pixel's exact
    // offset from it as twofold doubles and long doubles; finish the search
    // first.
    PreciseOrbitSpan precise_orbit() const;
    void precise_offset(int32_t x, int32_t y, DoubleDouble& dcx, DoubleDouble& dcy,
                        LongDoubleDouble& wide_x, LongDoubleDouble& wide_y) const;

    // Below this pixel step the squares of double offsets would lose their
    // precision to underflow, so offsets carry an extended exponent.
    static constexpr double kExtendedBelowStep = 0x1p-450;

    // Most references one view keeps; later pixels that need one of their own
    // get it for their own count only.
    static constexpr size_t kMaxReferences = 64;
    // and at most this much memory in all unless set otherwise.
    static constexpr size_t kMaxBytes = size_t{96} << 20;

private:
    struct Reference;
    // A pixel run in wider arithmetic: its exact offset, the arithmetic
    // under way (0 long double, 1 twofold sums) and its state there.
    struct Precise {
        DoubleDouble dcx, dcy;
        LongDoubleDouble wide_x, wide_y;
        int tier = 0;
        PreciseState<long double> wide;
        PreciseState<DoubleDouble> dd;
        PreciseState<LongDoubleDouble> wide_dd;
    };
    enum class Stage { orbit, nucleus, candidates, table, trial, ready };
    // A pixel the main reference cannot serve, between two calls of resolve():
    // the references it tried, the one it runs on and its state there, or its
    // count once its own reference decided it.
    struct Waiting {
        Reference* tried[2] = {nullptr, nullptr};
        int tries = 0;
        // Stepped on the main reference without linear steps.
        bool stepped_main = false;
        // Run in wider arithmetic on the main reference, or under way there.
        bool stepped_precise = false;
        std::unique_ptr<Precise> precise;
        Reference* on = nullptr;
        PixelState state{0.0, 0.0, 0, 0, 0.0};
        ExtPixelState ext_state;
        uint32_t count = 0;
        EscapedZ escaped{};  // with the count
    };

    std::unique_ptr<Reference> make_reference(int32_t x, int32_t y, bool own = false) const;
    // The reference at the nucleus the search found near the centre.
    std::unique_ptr<Reference> make_nucleus_reference() const;
    Reference* nearest_untried(int32_t x, int32_t y, const Waiting& w) const;
    // Runs the pixel on `ref` from its saved state while the budget lasts:
    // true with the count (or kNeedsOtherReference) in n once it ends.
    bool run_on(Reference& ref, int32_t x, int32_t y, Waiting& w, const Budget& budget,
                uint32_t& n);
    // Whether offsets of this view fit wider arithmetic's range.
    bool precise_reaches() const;
    // The same in long double, then in twofold sums of doubles (or, for
    // extended offsets, of long doubles), on the main reference; an escaped
    // pixel's z goes to `escaped`.
    bool run_precise(int32_t x, int32_t y, Waiting& w, const Budget& budget, uint32_t& n,
                     EscapedZ& escaped);
    uint32_t settle(uint32_t key, uint32_t count, EscapedZ escaped, EscapedZ* z);
    void keep_reference(std::unique_ptr<Reference> ref);
    bool evaluate_candidates(double seconds, double started);
    // Runs sampled pixels with the table's steps and keeps it if it pays;
    // true once decided.
    bool try_table(double seconds, double started);
    uint32_t iterate_on(Reference& ref, int32_t x, int32_t y, uint32_t limit,
                        EscapedZ* z = nullptr) const;
    uint32_t iterate_on(Reference& ref, int32_t x, int32_t y) const {
        return iterate_on(ref, x, y, limit_);
    }
    void finish_search();
    // The stage after the search.
    Stage searched() const;

    GridCoordinates grid_;
    bool extended_;
    bool skipping_;
    long bits_;
    uint32_t limit_;
    ExtFloat radius_;
    Stage stage_ = Stage::orbit;
    int rounds_ = 0;
    std::unique_ptr<Reference> main_;
    // The search for a nucleus near the main reference, while its orbit is
    // computed (the centre's, then those of pixels that outlast it).
    std::unique_ptr<NucleusSearch> nucleus_;
    std::vector<std::unique_ptr<Reference>> extra_;
    std::unordered_map<uint32_t, Waiting> waiting_;
    // The own reference under way, and the pixel (y * width + x) it is for.
    std::unique_ptr<Reference> building_;
    uint32_t building_key_ = 0;
    size_t own_built_ = 0;
    size_t memory_cap_ = kMaxBytes;
    // Sampled pixels still to try on the current main reference, and those
    // that outlasted it.
    std::vector<int32_t> candidates_, outlasting_;
    size_t next_candidate_ = 0;
    // Sampled pixels run with the table so far, their steps and iterations.
    int32_t tried_ = 0;
    uint64_t trial_steps_ = 0, trial_iterations_ = 0;
};

}  // namespace quorvel
