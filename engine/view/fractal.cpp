#include "view/fractal.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "deep/perturbation_plan.h"
#include "view/smooth_fraction.h"

namespace quorvel {

namespace {

// Largest multiple of 8 not greater than d (towards minus infinity), in 64 bits
// so that no input can overflow.
int64_t floor_to_byte(int64_t d) { return d >= 0 ? (d / 8) * 8 : -(((-d) + 7) / 8) * 8; }

int64_t magnitude(int64_t v) { return v < 0 ? -v : v; }

// Moves a coordinate table by s entries towards index 0 (s > 0) or away from
// it (s < 0); the kept entries keep their exact values, the entering ones are
// formed from the new origin, which is stored in `origin`.
void shift_table(std::vector<BigFloat>& table, int32_t s, BigFloat& origin, double step) {
    const int32_t n = static_cast<int32_t>(table.size());
    if (s > 0) {
        origin = table[s];
        std::move(table.begin() + s, table.end(), table.begin());
        for (int32_t i = n - s; i < n; ++i) table[i] = origin + BigFloat(i * step);
    } else if (s < 0) {
        const int32_t k = -s;
        origin = table[0] + BigFloat(s * step);
        std::move_backward(table.begin(), table.end() - k, table.end());
        for (int32_t i = 0; i < k; ++i) table[i] = origin + BigFloat(i * step);
    }
}

}  // namespace

Fractal::Fractal(int32_t width, int32_t height) {
    if (width > 0 && height > 0) set_size(width, height);
}

Fractal::Fractal(const Fractal& other, bool with_image, bool packed)
    : centre_x_(other.centre_x_),
      centre_y_(other.centre_y_),
      origin_x_(other.origin_x_),
      origin_y_(other.origin_y_),
      step_x_(other.step_x_),
      step_y_(other.step_y_),
      radius_(other.radius_),
      width_(other.width_),
      height_(other.height_),
      max_iterations_(other.max_iterations_),
      computed_count_(with_image ? other.settled_count() : 0),
      pixel_count_(other.pixel_count_),
      use_big_float_(other.use_big_float_),
      smooth_(other.smooth_),
      deep_kernel_(other.deep_kernel_),
      image_(!with_image || !other.image_ ? nullptr
             : packed ? std::make_unique<MaskedImage>(other.image_->packed_copy())
                      : std::make_unique<MaskedImage>(*other.image_)),
      wide_(other.wide_ ? std::make_unique<WideView>(*other.wide_) : nullptr),
      beyond_big_float_(other.beyond_big_float_),
      column_big_float_(other.column_big_float_),
      row_big_float_(other.row_big_float_),
      column_double_(other.column_double_),
      row_double_(other.row_double_) {}

Fractal::~Fractal() = default;

Fractal::Fractal(const FractalRecord& r, std::unique_ptr<MaskedImage> image)
    : centre_x_(r.centre_x),
      centre_y_(r.centre_y),
      origin_x_(r.origin_x),
      origin_y_(r.origin_y),
      step_x_(r.step_x),
      step_y_(r.step_y),
      radius_(r.radius),
      max_iterations_(r.max_iterations),
      computed_count_(r.computed_count),
      image_(std::move(image)),
      wide_(r.wide ? std::make_unique<WideView>(*r.wide) : nullptr) {
    // A damaged record must not size tables from a negative count, and an
    // image that does not match the grid would be addressed out of bounds.
    if (r.width > 0 && r.height > 0) {
        width_ = r.width;
        height_ = r.height;
    }
    pixel_count_ = static_cast<uint32_t>(width_) * static_cast<uint32_t>(height_);
    if (image_ && (image_->width() != width_ || image_->height() != height_)) {
        image_.reset();
        computed_count_ = 0;
    }
    note_depth();
    prepare(false);
}

FractalRecord Fractal::record() const {
    FractalRecord r;
    r.centre_x = centre_x_;
    r.centre_y = centre_y_;
    r.origin_x = origin_x_;
    r.origin_y = origin_y_;
    r.step_x = step_x_;
    r.step_y = step_y_;
    r.radius = radius_;
    r.width = width_;
    r.height = height_;
    r.max_iterations = max_iterations_;
    r.computed_count = settled_count();
    if (wide_) r.wide = *wide_;
    return r;
}

void Fractal::set_size(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return;
    if (width == width_ && height == height_) return;
    lookahead_.reset();
    width_ = width;
    height_ = height;
    pixel_count_ = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
    compute_grid();
    image_.reset();
    computed_count_ = 0;
}

void Fractal::compute_grid() {
    lookahead_.reset();
    drop_tables();
    // An empty grid has no extent to divide; it keeps the centre as origin.
    if (width_ <= 0 || height_ <= 0) {
        origin_x_ = centre_x_;
        origin_y_ = centre_y_;
        step_x_ = step_y_ = 0.0;
        beyond_big_float_ = false;
        return;
    }
    const bool wider = width_ >= height_;
    const double a = wider ? height_ * (1.0 / width_) : width_ * (1.0 / height_);
    if (!wide_ && needs_wide(ExtFloat(radius_) / ExtFloat(0.5 * std::max(width_, height_))))
        wide_ = std::make_unique<WideView>(
            WideView{WideReal(centre_x_), WideReal(centre_y_), ExtFloat(radius_), {}, {}});
    if (wide_) {
        compute_wide_grid(a, wider);
        return note_depth();
    }
    beyond_big_float_ = false;
    double half_x, half_y;
    if (wider) {
        half_x = radius_;
        half_y = radius_ * a;
    } else {
        half_y = radius_;
        half_x = radius_ * a;
    }
    origin_x_ = centre_x_ - BigFloat(half_x);
    origin_y_ = centre_y_ + BigFloat(half_y);
    step_x_ = (2.0 * half_x) / width_;
    step_y_ = -(2.0 * half_y) / height_;
}

// The same steps in extended arithmetic, which equals the doubles' wherever
// they reach.
void Fractal::compute_wide_grid(double a, bool wider) {
    WideView& v = *wide_;
    const ExtFloat half_x = wider ? v.radius : v.radius * ExtFloat(a);
    const ExtFloat half_y = wider ? v.radius * ExtFloat(a) : v.radius;
    v.step_x = (ExtFloat(2.0) * half_x) / ExtFloat(static_cast<double>(width_));
    v.step_y = -((ExtFloat(2.0) * half_y) / ExtFloat(static_cast<double>(height_)));
    step_x_ = v.step_x.to_double();
    step_y_ = v.step_y.to_double();
    origin_x_ = v.centre_x.plus_scaled(-int64_t{width_}, ldexp(v.step_x, -1)).to_big_float();
    origin_y_ = v.centre_y.plus_scaled(-int64_t{height_}, ldexp(v.step_y, -1)).to_big_float();
}

// 192-bit coordinates serve while they keep 32 bits below the pixel step:
// pixels then lie within 2^-32 steps of their places, and views that 192-bit
// views served before keep their pixels.
bool Fractal::needs_wide(ExtFloat step) const {
    int64_t top = step.exponent();
    if (!centre_x_.is_zero()) top = std::max<int64_t>(top, centre_x_.exponent);
    if (!centre_y_.is_zero()) top = std::max<int64_t>(top, centre_y_.exponent);
    return top - step.exponent() + 32 > 192;
}

GridCoordinates Fractal::grid_coordinates() const {
    if (wide_)
        return GridCoordinates(wide_->centre_x, wide_->centre_y, wide_->step_x, wide_->step_y,
                               width_, height_);
    return GridCoordinates(column_big_float_, row_big_float_);
}

void Fractal::drop_plan() {
    // Pixels waiting in the lookahead hold offsets to the plan's reference.
    if (plan_) drop_ahead();
    plan_.reset();
}

void Fractal::set_deep_kernel(DeepKernel mode) {
    if (mode == deep_kernel_) return;
    // Pixels waiting in the lookahead were set up for the other kernel, and
    // the plan's references for the other way of stepping.
    if (skips(mode) != skips(deep_kernel_)) drop_plan();
    drop_ahead();
    deep_kernel_ = mode;
}

void Fractal::drop_tables() {
    drop_plan();
    // Release the storage, not only the contents: dropped tables cost nothing.
    std::vector<BigFloat>().swap(column_big_float_);
    std::vector<BigFloat>().swap(row_big_float_);
    std::vector<double>().swap(column_double_);
    std::vector<double>().swap(row_double_);
}

void Fractal::build_tables() {
    drop_tables();
    column_big_float_.resize(static_cast<size_t>(width_));
    row_big_float_.resize(static_cast<size_t>(height_));
    if (wide_ && !beyond_big_float_) {
        // The roundings of the exact coordinates, for the kernels of shallow
        // depths; deeper ones perturb from the exact coordinates, and their
        // tables below are no more than the cheap roundings of the origin.
        const ExtFloat half_x = ldexp(wide_->step_x, -1), half_y = ldexp(wide_->step_y, -1);
        for (int32_t i = 0; i < width_; ++i)
            column_big_float_[i] =
                wide_->centre_x.plus_scaled(2 * int64_t{i} - width_, half_x).to_big_float();
        for (int32_t j = 0; j < height_; ++j)
            row_big_float_[j] =
                wide_->centre_y.plus_scaled(2 * int64_t{j} - height_, half_y).to_big_float();
    } else {
        for (int32_t i = 0; i < width_; ++i)
            column_big_float_[i] = origin_x_ + BigFloat(static_cast<double>(i) * step_x_);
        for (int32_t j = 0; j < height_; ++j)
            row_big_float_[j] = origin_y_ + BigFloat(static_cast<double>(j) * step_y_);
    }
    derive_double_tables();
}

void Fractal::derive_double_tables() {
    drop_plan();
    const size_t w = column_big_float_.size(), h = row_big_float_.size();
    column_double_.resize(w);
    row_double_.resize(h);
    bool big = false;
    for (size_t i = 0; i < w; ++i) {
        column_double_[i] = column_big_float_[i].to_double();
        if (i > 0 && column_double_[i] == column_double_[i - 1]) big = true;
    }
    for (size_t j = 0; j < h; ++j) {
        row_double_[j] = row_big_float_[j].to_double();
        if (j > 0 && row_double_[j] == row_double_[j - 1]) big = true;
    }
    // Doubles cannot even hold the coordinates of a view too deep for 192 bits.
    use_big_float_ = big || beyond_big_float_;
}

void Fractal::prepare(bool with_image) {
    if (with_image) {
        // Counts as wide as the limit from the start: pixels inside the set
        // reach it, and a plane widened midway is written twice.
        if (!image_)
            image_ = std::make_unique<MaskedImage>(width_, height_, max_iterations_);
        else
            image_->unpack();
    }
    if (!column_big_float_.empty()) return;
    build_tables();
}

MaskedImage& Fractal::image_for_use() {
    if (!image_)
        image_ = std::make_unique<MaskedImage>(width_, height_, max_iterations_);
    else
        image_->unpack();
    return *image_;
}

inline uint32_t Fractal::store_pixel(int32_t x, int32_t y, uint32_t n, float fraction) {
    MaskedImage& img = *image_;
    const size_t i = static_cast<size_t>(y) * width_ + x;
    // The count first: widening its plane may fail before the pixel changes.
    img.counts().set(i, n);
    const uint8_t value = byte_of(n);
    img.values()[i] = value;
    if (smooth_)
        img.fractions_for_use()[i] = fraction;
    else if (float* fractions = img.fractions())
        fractions[i] = 0.0f;
    img.mark_computed(x, y);
    return value;
}

float Fractal::fraction_of(size_t i, uint32_t n, double zx, double zy) const {
    if (!smooth_ || n >= max_iterations_) return 0.0f;
    // c rounded to doubles serves at any depth: the formula reads |z_n - c|
    // only where it exceeds 1.
    const size_t w = static_cast<size_t>(width_);
    return smooth_fraction_code(column_double_.data()[i % w], row_double_.data()[i / w], zx, zy);
}

uint32_t Fractal::unmark_without_fraction() {
    if (!image_) return 0;
    lookahead_.reset();
    MaskedImage& img = *image_;
    const float* fractions = img.fractions_for_use();
    const uint8_t* values = img.values();
    uint8_t* mask = img.mask();
    const int32_t stride = img.mask_stride();
    uint32_t unmarked = 0;
    for (int32_t y = 0; y < height_; ++y) {
        const size_t row = static_cast<size_t>(y) * width_;
        uint8_t* mrow = mask + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < width_; ++x) {
            if (values[row + x] == 0 || fractions[row + x] != 0.0f) continue;
            // Filled pixels are not marked computed already.
            mrow[x >> 3] &= static_cast<uint8_t>(~(1u << (x & 7)));
            ++unmarked;
        }
    }
    computed_count_ = std::min(computed_count_, pixel_count_ - std::min(pixel_count_, unmarked));
    return unmarked;
}

bool Fractal::run_ahead_computed(const Budget& budget) {
    if (!lookahead_ || lookahead_->idle()) return true;
    const bool all_done = run_listed(budget);
    const auto w = static_cast<size_t>(width_);
    computed_count_ += lookahead_->drain([&](size_t i, const Orbit& o) {
        store_pixel(static_cast<int32_t>(i % w), static_cast<int32_t>(i / w), o.n,
                    fraction_of(o, i));
    });
    return all_done;
}

uint32_t Fractal::compute_pixel(int32_t x, int32_t y) {
    if (lookahead_) {
        const size_t i = static_cast<size_t>(y) * width_ + x;
        const Lookahead::State state = lookahead_->state(i);
        if (state == Lookahead::kReady) {
            const Lookahead::Result r = lookahead_->take(i);
            return store_pixel(x, y, r.count, r.fraction);
        }
        if (state == Lookahead::kQueued) lookahead_->forget(i);
    }
    ++computed_count_;
    const size_t i = static_cast<size_t>(y) * width_ + x;
    if (smooth_ && !use_big_float_) {
        // The count as ever (cycles found early); an escaped pixel's z from
        // the same steps again.
        const double cx = column_double_.data()[x], cy = row_double_.data()[y];
        const uint32_t n = iterate_double(max_iterations_, cx, cy);
        Orbit o = fresh_orbit(cx, cy);
        if (n < max_iterations_) advance_orbit(max_iterations_, o, n);
        o.n = n;
        return store_pixel(x, y, n, fraction_of(o, i));
    }
    // The deep kernels hand out the escaped z with the count.
    EscapedZ z;
    EscapedZ* const want = smooth_ ? &z : nullptr;
    const uint32_t n =
        !use_big_float_
            ? iterate_double(max_iterations_, column_double_.data()[x], row_double_.data()[y])
        : perturbed() ? perturbed_count(x, y, want)
                      : iterate_big_float(max_iterations_, column_big_float_.data()[x],
                                          row_big_float_.data()[y], want);
    return store_pixel(x, y, n, fraction_of(i, n, z.x, z.y));
}

PerturbationPlan& Fractal::plan() {
    if (!plan_ && wide_)
        plan_ = std::make_unique<PerturbationPlan>(grid_coordinates(), wide_->radius,
                                                   std::min(abs(wide_->step_x), abs(wide_->step_y)),
                                                   max_iterations_, skips(deep_kernel_));
    if (!plan_) {
        plan_ = std::make_unique<PerturbationPlan>(column_big_float_, row_big_float_, radius_,
                                                   max_iterations_, skips(deep_kernel_));
    }
    if (reference_budget_ != SIZE_MAX) plan_->set_memory_cap(reference_budget_);
    return *plan_;
}

void Fractal::set_reference_budget(size_t bytes) {
    reference_budget_ = bytes;
    if (plan_) plan_->set_memory_cap(bytes);
}

bool Fractal::perturbed() const {
    // Past the 192-bit coordinates only perturbation, on the exact ones, is right.
    return use_big_float_ && (beyond_big_float_ || perturbs(deep_kernel_, radius_));
}

void Fractal::note_depth() {
    beyond_big_float_ = wide_ && needs_wide(std::min(abs(wide_->step_x), abs(wide_->step_y)));
}

uint32_t Fractal::perturbed_count(int32_t x, int32_t y, EscapedZ* z) {
    return plan().iterate(x, y, z);
}

bool Fractal::deep_kernel_pending() {
    prepare(false);
    return perturbed() && !(plan_ && plan_->ready());
}

bool Fractal::prepare_deep_kernel(double seconds) {
    prepare(false);
    if (!perturbed() || (plan_ && plan_->ready())) return true;
    return plan().prepare(seconds);
}

void Fractal::set_max_iterations(uint32_t n) {
    lookahead_.reset();
    const uint32_t limit = n > 1 ? n : 2;
    drop_plan();  // the orbit ends at the old limit
    if (image_) {
        image_->unpack();
        if (max_iterations_ < limit) {
            // Escaped pixels escape below the new limit too; only those that
            // reached the old limit must be iterated further.
            // Their counts said the old limit; until iterated they have none.
            const int32_t stride = image_->mask_stride();
            const uint8_t* values = image_->values();
            CountPlane& counts = image_->counts();
            uint8_t* mask = image_->mask();
            for (int32_t y = 0; y < height_; ++y) {
                const size_t row = static_cast<size_t>(y) * width_;
                uint8_t* mrow = mask + static_cast<size_t>(y) * stride;
                for (int32_t x = 0; x < width_; ++x) {
                    if (values[row + x] != 0) continue;
                    mrow[x >> 3] &= static_cast<uint8_t>(~(1u << (x & 7)));
                    counts.set(row + x, 0);
                }
            }
        } else {
            image_->clear_mask();
        }
    }
    computed_count_ = 0;
    max_iterations_ = limit;
}

void Fractal::set_view(const BigFloat& x, const BigFloat& y, double radius) {
    // Radii below this have steps too near the end of the double range;
    // such views are wide.
    if (radius > 0.0 && radius < kNarrowestRadius)
        return set_view(WideReal(x), WideReal(y), ExtFloat(radius));
    wide_.reset();
    if (radius >= 2.0) {
        centre_x_ = BigFloat(0.0);
        centre_y_ = BigFloat(0.0);
        radius_ = 2.0;
    } else {
        centre_x_ = x;
        centre_y_ = y;
        radius_ = radius;
    }
    compute_grid();
    image_.reset();
    computed_count_ = 0;
}

void Fractal::set_view(const WideReal& x, const WideReal& y, ExtFloat radius) {
    const double r = radius.to_double();
    const bool deep = radius > ExtFloat() && radius < ExtFloat(kNarrowestRadius);
    if (x.fits_big_float() && y.fits_big_float() && !deep)
        return set_view(x.to_big_float(), y.to_big_float(), r);
    wide_ = std::make_unique<WideView>(WideView{x, y, radius, {}, {}});
    centre_x_ = x.to_big_float();
    centre_y_ = y.to_big_float();
    radius_ = r;
    compute_grid();
    image_.reset();
    computed_count_ = 0;
}

void Fractal::zoom_at(int32_t x, int32_t y, float factor) {
    if (wide_) {
        const WideView& v = *wide_;
        const WideReal cx = v.centre_x.plus_scaled(2 * int64_t{x} - width_, ldexp(v.step_x, -1));
        const WideReal cy = v.centre_y.plus_scaled(2 * int64_t{y} - height_, ldexp(v.step_y, -1));
        return set_view(cx, cy, v.radius / ExtFloat(static_cast<double>(factor)));
    }
    const bool tables = has_tables();
    const BigFloat cx = tables && x >= 0 && x < width_
                            ? column_big_float_[x]
                            : origin_x_ + BigFloat(static_cast<double>(x) * step_x_);
    const BigFloat cy = tables && y >= 0 && y < height_
                            ? row_big_float_[y]
                            : origin_y_ + BigFloat(static_cast<double>(y) * step_y_);
    set_view(cx, cy, radius_ / static_cast<double>(factor));
}

void Fractal::move(int32_t dx, int32_t dy) {
    // 64 bits: -INT32_MIN and its rounding must not overflow.
    const int64_t sx = floor_to_byte(dx);
    const int64_t sy = -static_cast<int64_t>(dy);
    if (sx == 0 && sy == 0) return;
    lookahead_.reset();

    if (wide_) return move_wide(sx, sy);
    if (magnitude(sx) < width_ && magnitude(sy) < height_ && image_ && has_tables()) {
        const int32_t sx32 = static_cast<int32_t>(sx), sy32 = static_cast<int32_t>(sy);
        image_->shift(sx32, sy32);
        shift_table(column_big_float_, sx32, origin_x_, step_x_);
        shift_table(row_big_float_, sy32, origin_y_, step_y_);
        centre_x_ = column_big_float_[width_ / 2];
        centre_y_ = row_big_float_[height_ / 2];
        derive_double_tables();
        computed_count_ = 0;
        return;
    }

    const BigFloat cx = centre_x_ + BigFloat(static_cast<double>(sx) * step_x_);
    const BigFloat cy = centre_y_ + BigFloat(static_cast<double>(sy) * step_y_);
    set_view(cx, cy, radius_);
}

// A wide view moves its exact centre by whole pixels, so the kept pixels keep
// their exact coordinates.
void Fractal::move_wide(int64_t sx, int64_t sy) {
    WideView& v = *wide_;
    v.centre_x = v.centre_x.plus_scaled(2 * sx, ldexp(v.step_x, -1));
    v.centre_y = v.centre_y.plus_scaled(2 * sy, ldexp(v.step_y, -1));
    if (magnitude(sx) < width_ && magnitude(sy) < height_ && image_) {
        image_->shift(static_cast<int32_t>(sx), static_cast<int32_t>(sy));
        centre_x_ = v.centre_x.to_big_float();
        centre_y_ = v.centre_y.to_big_float();
        compute_grid();
        computed_count_ = 0;
        return;
    }
    const WideReal cx = v.centre_x, cy = v.centre_y;
    set_view(cx, cy, v.radius);
}

void Fractal::discard_image() {
    lookahead_.reset();
    image_.reset();
    computed_count_ = 0;
}

void Fractal::hand_image_to(Fractal& keeper) {
    // Values waiting aside stay behind, as they do in any copy.
    keeper.image_ = std::move(image_);
    keeper.computed_count_ = settled_count();
    discard_image();
}

void Fractal::release_data() {
    lookahead_.reset();
    image_.reset();
    drop_tables();
    computed_count_ = 0;
}

uint32_t Fractal::memory_size() const {
    uint32_t size = 200;
    if (image_) size += image_->memory_size();
    const uint32_t w = static_cast<uint32_t>(width_), h = static_cast<uint32_t>(height_);
    if (!row_big_float_.empty()) size += 32 * h;
    if (!row_double_.empty()) size += 8 * h;
    if (!column_big_float_.empty()) size += 32 * w;
    if (!column_double_.empty()) size += 8 * w;
    if (wide_)
        size += static_cast<uint32_t>(std::min<long>(
            (wide_->centre_x.precision() + wide_->centre_y.precision()) / 8, 1L << 24));
    uint64_t extra = plan_ ? plan_->memory_size() : 0;
    if (lookahead_) extra += lookahead_->memory_size();
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{size} + extra, 0xFFFFFFFFu));
}

double Fractal::cleverness() const {
    if (pixel_count_ == 0) return 0.0;
    return 1.0 - static_cast<double>(computed_count_) / static_cast<double>(pixel_count_);
}

}  // namespace quorvel
