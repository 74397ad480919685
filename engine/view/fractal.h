// Fractal: one view of the Mandelbrot set, a pixel grid laid over a rectangle
// of the complex plane, with its iteration limit and per-pixel results.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "bigfloat/big_float.h"
#include "bigfloat/orbit_batch.h"
#include "deep/deep_kernel.h"
#include "deep/grid_coordinates.h"
#include "storage/masked_image.h"
#include "view/lookahead.h"
#include "view/wide_view.h"

namespace quorvel {

class PerturbationPlan;

// Views of a smaller radius keep their place as a WideView.
constexpr double kNarrowestRadius = 0x1p-900;

// The fields a stored view carries; used to rebuild a view from a file. The
// BigFloat and double fields of a wide view hold its rounding; `wide` its
// exact place.
struct FractalRecord {
    BigFloat centre_x, centre_y, origin_x, origin_y;
    double step_x, step_y, radius;
    int32_t width, height;
    uint32_t max_iterations, computed_count;
    std::optional<WideView> wide;
};

class Fractal {
public:
    Fractal(int32_t width, int32_t height);
    // A copy leaves out the references of a perturbed view; it finds its own
    // when it is computed further.
    Fractal(const Fractal& other) : Fractal(other, true) {}
    // The same, with the image copied or left out (see hand_image_to()).
    Fractal(const Fractal& other, bool with_image) : Fractal(other, with_image, false) {}
    // With `packed`, the copy's image is packed straight from the original's.
    Fractal(const Fractal& other, bool with_image, bool packed);
    ~Fractal();
    Fractal& operator=(const Fractal&) = delete;
    // A view from stored fields, with optional storage; tables built without
    // an image.
    explicit Fractal(const FractalRecord& record, std::unique_ptr<MaskedImage> image);

    void set_size(int32_t width, int32_t height);
    void set_view(const BigFloat& centre_x, const BigFloat& centre_y, double radius);
    // Any centre and any positive radius; a radius of 2 or more is the home
    // view. A view that 192-bit coordinates cannot hold becomes wide.
    void set_view(const WideReal& centre_x, const WideReal& centre_y, ExtFloat radius);
    void prepare(bool with_image);
    MaskedImage& image_for_use();
    void set_max_iterations(uint32_t n);
    void zoom_at(int32_t x, int32_t y, float factor);
    void move(int32_t dx, int32_t dy);
    void discard_image();
    // Gives this view's image to `keeper`, a copy of it made without one, and
    // keeps none: for a view about to be given a new place.
    void hand_image_to(Fractal& keeper);
    void release_data();
    uint32_t memory_size() const;
    double cleverness() const;

    // The kernel for pixels past the double path; pixels already computed stay.
    void set_deep_kernel(DeepKernel mode);
    DeepKernel deep_kernel() const { return deep_kernel_; }
    // True when this view's pixels are computed by perturbation (tables built).
    bool perturbed() const;
    // True while a perturbed view still searches its reference. Builds the
    // tables.
    bool deep_kernel_pending();
    // Works on the reference orbit of a perturbed view for about `seconds`;
    // true once pixels can be computed without that work. Builds the tables.
    bool prepare_deep_kernel(double seconds);
    // The references of a perturbed view, or null before they are needed.
    const PerturbationPlan* perturbation_plan() const { return plan_.get(); }
    // Memory the references beside the main one may take; beyond it they are
    // released, oldest first.
    void set_reference_budget(size_t bytes);
    // Frees the references of a perturbed view (and what waits in the
    // lookahead on them); they are found again if it is computed further.
    void release_references() { drop_plan(); }

    // The full count of a computed pixel (or one a fill gave it).
    uint32_t pixel_count(int32_t x, int32_t y) const {
        return image_->counts().get(static_cast<size_t>(y) * width_ + x);
    }
    // With smooth on, iterated pixels also store their smooth fraction.
    void set_smooth(bool on) { smooth_ = on; }
    bool smooth() const { return smooth_; }
    // Marks uncomputed the escaped pixels that have no fraction (those filled
    // from a border, or computed with smooth off), to be iterated for one;
    // returns how many there are.
    uint32_t unmark_without_fraction();

    // The pixel query: the stored byte of a computed pixel, otherwise iterates
    // it, stores it and marks it computed. 0xFFFFFFFF outside the grid.
    // Requires prepare(true) since the view last changed.
    uint32_t pixel_value(int32_t x, int32_t y) {
        if (static_cast<uint32_t>(x) >= static_cast<uint32_t>(width_) ||
            static_cast<uint32_t>(y) >= static_cast<uint32_t>(height_))
            return 0xFFFFFFFFu;
        MaskedImage& img = *image_;
        if (img.is_computed(x, y)) return img.values()[static_cast<size_t>(y) * width_ + x];
        return compute_pixel(x, y);
    }

    // Pixels iterated ahead of the pixel query, in batches on every SIMD lane.
    // queue_ahead() lists the pixels of a rectangle (clipped to the grid)
    // that are neither computed nor already listed; run_ahead() iterates the
    // listed pixels with the kernel of this view's kind until all are done or
    // the budget ends, when pixels in flight keep their orbit state for the
    // next call (the result equals an uninterrupted run). Their values wait
    // aside, not marked computed, until pixel_value() asks, so a strategy
    // sees exactly the values it would see without looking ahead; iterated
    // pixels count in computed_count() as soon as they are done. Requires
    // prepare(true); any change of the grid, limit or image drops the list.
    void queue_ahead(int32_t x0, int32_t y0, int32_t x1, int32_t y1);
    // True when no listed pixel is left.
    bool run_ahead(const Budget& budget);
    // As run_ahead(), but the pixels it finishes are stored and marked
    // computed at once instead of waiting aside: for a strategy that asks for
    // every listed pixel in any case.
    bool run_ahead_computed(const Budget& budget);
    // Lists (x, y) if needed and runs the list until that pixel is ready, it
    // first; pixels still in flight then keep their state. True when it is
    // ready, false when the budget ended first. Double views run only the
    // `recent` most recently listed pixels beside it: those near the query.
    bool run_ahead_for(int32_t x, int32_t y, const Budget& budget, size_t recent = SIZE_MAX);
    // Iterates an unlisted pixel at once on one lane, for at most `steps`
    // iterations: true when it is then ready; otherwise it is listed with its
    // orbit so far (views of other kinds only list it).
    bool run_ahead_at_once(int32_t x, int32_t y, uint32_t steps);
    // Room for `n` pixels listed at once, for a strategy that lists large
    // batches. Requires prepare(true).
    void reserve_ahead(size_t n) {
        if (!lookahead_) make_lookahead();
        lookahead_->reserve(n);
    }
    // Unlists all but the `keep` most recently listed pixels.
    void keep_recent_ahead(size_t keep) {
        if (lookahead_) lookahead_->keep_recent(keep);
    }
    // When on, the pixels the batch kernel makes ready are noted (grid
    // indices, in order) for take_ready_ahead(): a strategy that plans on
    // pixels as they come ready turns it on while it runs.
    void note_ready_ahead(bool on) {
        note_ready_ = on;
        if (lookahead_) lookahead_->set_logging(on);
    }
    // The pixels noted since the last call (none when none became ready).
    void take_ready_ahead(std::vector<uint32_t>& out) {
        if (lookahead_)
            lookahead_->take_log(out);
        else
            out.clear();
    }
    // The pixel is computed or waiting aside: pixel_value() returns at once.
    bool ahead_ready(int32_t x, int32_t y) const {
        if (static_cast<uint32_t>(x) >= static_cast<uint32_t>(width_) ||
            static_cast<uint32_t>(y) >= static_cast<uint32_t>(height_))
            return true;
        if (image_->is_computed(x, y)) return true;
        return lookahead_ &&
               lookahead_->state(static_cast<size_t>(y) * width_ + x) == Lookahead::kReady;
    }
    // The value of a pixel for which ahead_ready() holds, as pixel_value()
    // would return it, leaving a pixel waiting aside where it is.
    uint32_t ready_value(int32_t x, int32_t y) const {
        if (static_cast<uint32_t>(x) >= static_cast<uint32_t>(width_) ||
            static_cast<uint32_t>(y) >= static_cast<uint32_t>(height_))
            return 0xFFFFFFFFu;
        const size_t i = static_cast<size_t>(y) * width_ + x;
        if (image_->is_computed(x, y)) return image_->values()[i];
        return byte_of(lookahead_->peek(i));
    }
    // ahead_ready() and ready_value() at once: false for a pixel not ready,
    // otherwise true with its value.
    bool peek_ready(int32_t x, int32_t y, uint32_t& value) const {
        if (static_cast<uint32_t>(x) >= static_cast<uint32_t>(width_) ||
            static_cast<uint32_t>(y) >= static_cast<uint32_t>(height_)) {
            value = 0xFFFFFFFFu;
            return true;
        }
        const size_t i = static_cast<size_t>(y) * width_ + x;
        if (image_->is_computed(x, y)) {
            value = image_->values()[i];
            return true;
        }
        if (!lookahead_ || lookahead_->state(i) != Lookahead::kReady) return false;
        value = byte_of(lookahead_->peek(i));
        return true;
    }
    // Lists pixel (x, y) of the grid, as queue_ahead() for it alone; true
    // when it was neither computed nor listed nor waiting aside.
    bool list_ahead(int32_t x, int32_t y);
    // How many pixels are listed for the lookahead and not done yet.
    size_t ahead_listed_count() const { return lookahead_ ? lookahead_->listed_count() : 0; }
    // The pixel is listed for the lookahead and not done yet.
    bool ahead_listed(int32_t x, int32_t y) const {
        return lookahead_ &&
               lookahead_->state(static_cast<size_t>(y) * width_ + x) == Lookahead::kQueued;
    }
    // Frees the lookahead's memory; values waiting aside are lost, and so is
    // their place in computed_count().
    void drop_ahead() {
        computed_count_ = settled_count();
        lookahead_.reset();
    }

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    uint32_t max_iterations() const { return max_iterations_; }
    uint32_t computed_count() const { return computed_count_; }
    // The centre rounded to 192 bits and the radius to a double (0 below the
    // double range); exact for a view that is not wide.
    const BigFloat& centre_x() const { return centre_x_; }
    const BigFloat& centre_y() const { return centre_y_; }
    double radius() const { return radius_; }
    // The exact place of a view 192-bit coordinates cannot hold, or null.
    const WideView* wide() const { return wide_.get(); }
    WideReal exact_centre_x() const { return wide_ ? wide_->centre_x : WideReal(centre_x_); }
    WideReal exact_centre_y() const { return wide_ ? wide_->centre_y : WideReal(centre_y_); }
    ExtFloat exact_radius() const { return wide_ ? wide_->radius : ExtFloat(radius_); }
    // Where the pixels lie exactly; requires the tables (prepare()) and stays
    // valid until the view changes.
    GridCoordinates grid_coordinates() const;
    bool uses_big_float() const { return use_big_float_; }
    // The stored fields of this view.
    FractalRecord record() const;
    // The image in whatever state it is, or null.
    MaskedImage* image() { return image_.get(); }
    const MaskedImage* image() const { return image_.get(); }
    bool has_tables() const { return !column_big_float_.empty(); }
    const BigFloat& column_coordinate(int32_t x) const { return column_big_float_[x]; }
    const BigFloat& row_coordinate(int32_t y) const { return row_big_float_[y]; }

private:
    uint32_t compute_pixel(int32_t x, int32_t y);
    uint32_t perturbed_count(int32_t x, int32_t y, EscapedZ* z);
    PerturbationPlan& plan();
    void drop_plan();
    // Makes the lookahead, noting ready pixels as set by note_ready_ahead().
    void make_lookahead();
    // Runs the listed pixels with the kernel of the view's kind, leaving the
    // finished ones marked done in the list; true when none is left to run.
    bool run_listed(const Budget& budget);
    // run_ahead() for a perturbed view.
    bool run_perturbed(const Budget& budget);
    // Pixels iterated and marked computed: what a copy or a stored record
    // keeps, since values waiting aside do not go with them. Never more than
    // the pixel count, however often the lookahead is dropped.
    uint32_t settled_count() const {
        return computed_count_ - (lookahead_ ? lookahead_->ready_count() : 0u);
    }
    // Inlined into the pixel query's paths, which run once a pixel.
    [[gnu::always_inline]] inline uint32_t store_pixel(int32_t x, int32_t y, uint32_t n,
                                                       float fraction);
    // The fraction code of pixel i with count n and escaped z (the record of
    // every kind keeps it in x, y once done); 0 with smooth off.
    float fraction_of(size_t i, uint32_t n, double zx, double zy) const;
    float fraction_of(const Orbit& o, size_t i) const {
        return smooth_ ? fraction_of(i, o.n, o.x, o.y) : 0.0f;
    }
    // The record a listed pixel starts from, for the kernel of this view's
    // kind (the 192-bit kernel keeps its state beside the list).
    Orbit start_orbit(int32_t x, int32_t y);
    uint8_t byte_of(uint32_t n) const {
        return static_cast<uint8_t>(n == max_iterations_ ? 0u : ((n - 1) % 255) + 1);
    }
    void compute_grid();
    void compute_wide_grid(double a, bool wider);
    void move_wide(int64_t sx, int64_t sy);
    void note_depth();
    bool needs_wide(ExtFloat step) const;
    void build_tables();
    void derive_double_tables();
    void drop_tables();

    BigFloat centre_x_, centre_y_;
    BigFloat origin_x_, origin_y_;
    double step_x_ = 0.0, step_y_ = 0.0;
    double radius_ = 2.0;
    int32_t width_ = 0, height_ = 0;
    uint32_t max_iterations_ = 150;
    uint32_t computed_count_ = 0;
    uint32_t pixel_count_ = 0;
    bool use_big_float_ = false;
    bool smooth_ = false;
    DeepKernel deep_kernel_ = DeepKernel::automatic;
    std::unique_ptr<MaskedImage> image_;
    // Set for a wide view; its centre and radius are then the exact ones and
    // centre_x_, centre_y_, radius_ and the BigFloat tables their roundings.
    std::unique_ptr<WideView> wide_;
    // A wide view too deep for 192-bit coordinates: always perturbed.
    bool beyond_big_float_ = false;
    std::vector<BigFloat> column_big_float_, row_big_float_;
    std::vector<double> column_double_, row_double_;
    // Refers to the coordinate tables: dropped whenever they change.
    std::unique_ptr<PerturbationPlan> plan_;
    std::unique_ptr<Lookahead> lookahead_;  // made at the first queue_ahead()
    bool note_ready_ = false;               // see note_ready_ahead()
    size_t reference_budget_ = SIZE_MAX;
};

}  // namespace quorvel
