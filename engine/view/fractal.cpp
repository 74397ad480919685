#include "view/fractal.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "deep/perturbation_plan.h"

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

Fractal::Fractal(const Fractal& other)
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
      computed_count_(other.settled_count()),
      pixel_count_(other.pixel_count_),
      use_big_float_(other.use_big_float_),
      deep_kernel_(other.deep_kernel_),
      image_(other.image_ ? std::make_unique<MaskedImage>(*other.image_) : nullptr),
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
      image_(std::move(image)) {
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
        return;
    }
    double half_x, half_y;
    if (width_ >= height_) {
        half_x = radius_;
        const double a = height_ * (1.0 / width_);
        half_y = radius_ * a;
    } else {
        half_y = radius_;
        const double a = width_ * (1.0 / height_);
        half_x = radius_ * a;
    }
    origin_x_ = centre_x_ - BigFloat(half_x);
    origin_y_ = centre_y_ + BigFloat(half_y);
    step_x_ = (2.0 * half_x) / width_;
    step_y_ = -(2.0 * half_y) / height_;
}

void Fractal::drop_plan() {
    // Pixels waiting in the lookahead hold offsets to the plan's reference.
    if (plan_) drop_ahead();
    plan_.reset();
}

void Fractal::set_deep_kernel(DeepKernel mode) {
    if (mode == deep_kernel_) return;
    // Pixels waiting in the lookahead were set up for the other kernel.
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
    for (int32_t i = 0; i < width_; ++i)
        column_big_float_[i] = origin_x_ + BigFloat(static_cast<double>(i) * step_x_);
    for (int32_t j = 0; j < height_; ++j)
        row_big_float_[j] = origin_y_ + BigFloat(static_cast<double>(j) * step_y_);
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
    use_big_float_ = big;
}

void Fractal::prepare(bool with_image) {
    if (with_image) {
        if (!image_)
            image_ = std::make_unique<MaskedImage>(width_, height_);
        else
            image_->unpack();
    }
    if (!column_big_float_.empty()) return;
    build_tables();
}

MaskedImage& Fractal::image_for_use() {
    if (!image_)
        image_ = std::make_unique<MaskedImage>(width_, height_);
    else
        image_->unpack();
    return *image_;
}

uint32_t Fractal::store_pixel(int32_t x, int32_t y, uint8_t value) {
    MaskedImage& img = *image_;
    img.values()[static_cast<size_t>(y) * width_ + x] = value;
    img.mark_computed(x, y);
    return value;
}

uint32_t Fractal::compute_pixel(int32_t x, int32_t y) {
    if (lookahead_) {
        const size_t i = static_cast<size_t>(y) * width_ + x;
        const Lookahead::State state = lookahead_->state(i);
        if (state == Lookahead::kReady) return store_pixel(x, y, lookahead_->take(i));
        if (state == Lookahead::kQueued) lookahead_->forget(i);
    }
    ++computed_count_;
    const uint32_t n = !use_big_float_ ? iterate_double(max_iterations_, column_double_.data()[x],
                                                        row_double_.data()[y])
                       : perturbs(deep_kernel_, radius_)
                           ? perturbed_count(x, y)
                           : iterate_big_float(max_iterations_, column_big_float_.data()[x],
                                               row_big_float_.data()[y]);
    return store_pixel(x, y, byte_of(n));
}

PerturbationPlan& Fractal::plan() {
    if (!plan_)
        plan_ = std::make_unique<PerturbationPlan>(column_big_float_, row_big_float_, radius_,
                                                   max_iterations_);
    return *plan_;
}

uint32_t Fractal::perturbed_count(int32_t x, int32_t y) { return plan().iterate(x, y); }

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
            const int32_t stride = image_->mask_stride();
            const uint8_t* values = image_->values();
            uint8_t* mask = image_->mask();
            for (int32_t y = 0; y < height_; ++y) {
                const uint8_t* row = values + static_cast<size_t>(y) * width_;
                uint8_t* mrow = mask + static_cast<size_t>(y) * stride;
                for (int32_t x = 0; x < width_; ++x)
                    if (row[x] == 0) mrow[x >> 3] &= static_cast<uint8_t>(~(1u << (x & 7)));
            }
        } else {
            image_->clear_mask();
        }
    }
    computed_count_ = 0;
    max_iterations_ = limit;
}

void Fractal::set_view(const BigFloat& x, const BigFloat& y, double radius) {
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

void Fractal::zoom_at(int32_t x, int32_t y, float factor) {
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

void Fractal::discard_image() {
    lookahead_.reset();
    image_.reset();
    computed_count_ = 0;
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
    uint64_t extra = plan_ ? plan_->memory_size() : 0;
    if (lookahead_) extra += lookahead_->memory_size();
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{size} + extra, 0xFFFFFFFFu));
}

double Fractal::cleverness() const {
    if (pixel_count_ == 0) return 0.0;
    return 1.0 - static_cast<double>(computed_count_) / static_cast<double>(pixel_count_);
}

}  // namespace quorvel
