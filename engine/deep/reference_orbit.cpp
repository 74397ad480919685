#include "deep/reference_orbit.h"

#include <algorithm>
#include <cmath>

#include "base/stopwatch.h"
#include "deep/perturbation.h"
#include "deep/perturbation_ext_batch.h"

namespace quorvel {

namespace {
// Steps between clock readings: a few microseconds of MPFR work at the
// precisions of shallow views; one step at a time past kCheckEveryStepBits,
// where a step alone takes that long.
constexpr int kStepsPerCheck = 64;
constexpr long kCheckEveryStepBits = 8192;
}  // namespace

long reference_bits(double radius) {
    long depth = 0;
    if (radius > 0.0 && radius < 1.0 && std::isfinite(radius))
        depth = static_cast<long>(std::ceil(-std::log2(radius)));
    const long bits = std::max(192L, 64 + depth);
    return (bits + 63) / 64 * 64;
}

long reference_bits(ExtFloat radius) {
    if (radius.to_double() >= 0x1p-1000) return reference_bits(radius.to_double());
    // 2^e <= radius < 2^(e+1): ceil(-log2(radius)) is -e.
    const long depth = static_cast<long>(std::min<int64_t>(-radius.exponent(), int64_t{1} << 40));
    return (64 + depth + 63) / 64 * 64;
}

ReferenceOrbit::ReferenceOrbit(mpfr_srcptr cx, mpfr_srcptr cy, long bits, uint32_t limit,
                               bool extended, uint32_t kept)
    : target_(std::max<uint32_t>(limit, 2)),
      kept_(std::min(kept, kMaxLength)),
      extended_(extended),
      c_re_(std::max(bits, 192L)),
      c_im_(std::max(bits, 192L)),
      x_(bits),
      y_(bits),
      xx_(bits),
      yy_(bits) {
    mpfr_set(c_re_.get(), cx, MPFR_RNDN);
    mpfr_set(c_im_.get(), cy, MPFR_RNDN);
    mpfr_set_zero(x_.get(), 1);
    mpfr_set_zero(y_.get(), 1);
    keep(0.0, 0.0);
}

// zr, zi: the latest z rounded to doubles, which an orbit kept as doubles
// stores as they are.
void ReferenceOrbit::keep(double zr, double zi) {
    ++iterations_;
    if (length_ >= kept_) return;
    // Vectors grow with the orbit, so memory follows what is used.
    if (extended_) {
        ext_re_.push_back(ext_from_mpfr(x_.get()));
        ext_im_.push_back(ext_from_mpfr(y_.get()));
    } else {
        re_.push_back(zr);
        im_.push_back(zi);
    }
    ++length_;
}

void ReferenceOrbit::step() {
    mpfr_sqr(xx_.get(), x_.get(), MPFR_RNDN);
    mpfr_sqr(yy_.get(), y_.get(), MPFR_RNDN);
    mpfr_mul(y_.get(), x_.get(), y_.get(), MPFR_RNDN);
    mpfr_mul_2ui(y_.get(), y_.get(), 1, MPFR_RNDN);
    mpfr_add(y_.get(), y_.get(), c_im_.get(), MPFR_RNDN);
    mpfr_sub(x_.get(), xx_.get(), yy_.get(), MPFR_RNDN);
    mpfr_add(x_.get(), x_.get(), c_re_.get(), MPFR_RNDN);
    const double zr = mpfr_get_d(x_.get(), MPFR_RNDN);
    const double zi = mpfr_get_d(y_.get(), MPFR_RNDN);
    keep(zr, zi);
    if (latest_escapes(zr, zi)) {
        escaped_ = true;
        complete_ = true;
    } else if (iterations_ >= target_) {
        complete_ = true;
    }
}

bool ReferenceOrbit::latest_escapes(double zr, double zi) {
    const double r = zr * zr + zi * zi;
    if (std::fabs(r - 4.0) > 4.0 * kUndecidedEscape) return r >= 4.0;
    // The squares are formed again by the next step; this is rare.
    mpfr_sqr(xx_.get(), x_.get(), MPFR_RNDN);
    mpfr_sqr(yy_.get(), y_.get(), MPFR_RNDN);
    mpfr_add(xx_.get(), xx_.get(), yy_.get(), MPFR_RNDN);
    return mpfr_cmp_ui(xx_.get(), 4) >= 0;
}

uint32_t ReferenceOrbit::own_count(uint32_t max_iterations) const {
    if (!complete_) return 0;
    if (escaped_) return iterations_ - 1;
    return iterations_ >= max_iterations ? max_iterations : 0;
}

EscapedZ ReferenceOrbit::latest_z() const {
    return EscapedZ{mpfr_get_d(x_.get(), MPFR_RNDN), mpfr_get_d(y_.get(), MPFR_RNDN)};
}

bool ReferenceOrbit::advance(double seconds) {
    Stopwatch watch;
    while (!complete_) {
        const int steps = mpfr_get_prec(x_.get()) > kCheckEveryStepBits ? 1 : kStepsPerCheck;
        for (int k = 0; k < steps && !complete_; ++k) step();
        if (watch.elapsed() >= seconds) break;
    }
    return complete_;
}

const double* ReferenceOrbit::lane_re() {
    complete_now();
    if (lane_re_.empty())
        form_lane_values({ext_re(), ext_im(), length_, escaped()}, lane_re_, lane_im_);
    return lane_re_.data();
}

const double* ReferenceOrbit::lane_im() {
    lane_re();
    return lane_im_.data();
}

void ReferenceOrbit::complete_now() {
    while (!complete_) step();
}

}  // namespace quorvel
