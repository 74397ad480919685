#include "deep/precise_bla_table.h"

#include <cmath>

#include "base/stopwatch.h"
#include "deep/precise_values.h"

namespace quorvel {

using precise_detail::leading;
using precise_detail::value;

// A step's dropped terms stay at most half of these beside the kept ones, an
// eighth or less of the type's rounding (precise_values.h). Chosen with
// bench/depth_bench.cpp on the public 4e-228 view: its pixels that long
// double or twofold sums could not vouch for stayed the same from 2^-56 and
// 2^-84 on (2^-76 left three times as many to their own references), while
// steps per pixel grow by some 12 % from 2^-60 and 2^-92 to these.
double precise_bla_epsilon(long double) { return 0x1p-64; }
double precise_bla_epsilon(DoubleDouble) { return 0x1p-102; }
double precise_bla_epsilon(LongDoubleDouble) { return 0x1p-102; }

namespace {

// Entries built between two looks at the clock: a first-level entry merges
// up to a few dozen single steps in twofold sums.
constexpr size_t kEntriesPerCheck = 64;

long double magnitude(long double re, long double im) { return std::sqrt(re * re + im * im); }

template <class T>
long double magnitude(const T& re, const T& im) {
    return magnitude(static_cast<long double>(leading(re)), static_cast<long double>(leading(im)));
}

}  // namespace

template <class T>
PreciseBlaTable<T>::PreciseBlaTable(const PreciseOrbitSpan& orbit, long double c_max,
                                    size_t max_bytes)
    : orbit_(orbit), singles_(orbit.length >= 3 ? orbit.length - 2 : 0), c_max_(c_max) {
    // Levels from k on take at most 2^(1-k) entries a single step, and one
    // more a level.
    while (first_level_ < 30 &&
           ((size_t{singles_} >> (first_level_ - 1)) + 32) * sizeof(PreciseBlaStep<T>) > max_bytes)
        ++first_level_;
    if (singles_ < (uint32_t{1} << first_level_)) complete_ = true;
}

template <class T>
size_t PreciseBlaTable<T>::memory_size() const {
    size_t size = 0;
    for (const auto& level : levels_) size += level.capacity() * sizeof(PreciseBlaStep<T>);
    return size;
}

template <class T>
PreciseBlaStep<T> PreciseBlaTable<T>::single(uint32_t m) const {
    const PreciseOrbitSpan& o = orbit_;
    const T zr = value(o.re, o.re_low, o.ext_re, o.ext_re_low, m, T{});
    const T zi = value(o.im, o.im_low, o.ext_im, o.ext_im_low, m, T{});
    const long double z = magnitude(zr, zi);
    // Where a pixel within the radius could meet the escape test, or come too
    // close to 4 to call, no step passes over.
    const long double eps = precise_bla_epsilon(T{});
    const long double near_escape =
        4.0L * (1.0L - 4.0L * kUndecidedEscape) / ((1.0L + 4.0L * eps) * (1.0L + 4.0L * eps));
    const long double r = z * z >= near_escape ? 0.0L : eps * z;
    // The dropped term is dz^2 itself.
    return PreciseBlaStep<T>{zr + zr, zi + zi, T{1.0}, T{}, r * r, 1.0L, 0.0L, 0.0L};
}

// Step x, then step y: as BlaTable's merge, with bounds in long double.
template <class T>
PreciseBlaStep<T> PreciseBlaTable<T>::merge(const PreciseBlaStep<T>& x,
                                            const PreciseBlaStep<T>& y) const {
    PreciseBlaStep<T> s;
    s.ar = y.ar * x.ar - y.ai * x.ai;
    s.ai = y.ar * x.ai + y.ai * x.ar;
    s.br = (y.ar * x.br - y.ai * x.bi) + y.br;
    s.bi = (y.ar * x.bi + y.ai * x.br) + y.bi;
    const long double a = magnitude(x.ar, x.ai);
    const long double b = magnitude(x.br, x.bi);
    const long double ay = magnitude(y.ar, y.ai);
    s.p = ay * x.p + y.p * (a * a);
    s.q = ay * x.q + (2.0L * y.p * (a * b) + y.q * a);
    s.s = ay * x.s + ((y.p * (b * b) + y.q * b) + y.s);
    const long double ry = std::sqrt(y.r2) - b * c_max_;
    if (a == 0.0L || !(0.0L < ry)) {
        s.r2 = 0.0L;
    } else {
        const long double r = ry / a;
        s.r2 = std::min(r * r, x.r2);
    }
    return s;
}

template <class T>
bool PreciseBlaTable<T>::advance(double seconds) {
    Stopwatch watch;
    for (size_t done = 0; !complete_; ++done) {
        if (done % kEntriesPerCheck == kEntriesPerCheck - 1 && watch.elapsed() >= seconds) break;
        if (levels_.empty() || next_ == 0) {
            const uint32_t span = uint32_t{1} << (first_level_ + levels_.size());
            level_size_ = (singles_ + span - 1) / span;
            levels_.emplace_back().reserve(level_size_);
        }
        std::vector<PreciseBlaStep<T>>& level = levels_.back();
        if (levels_.size() == 1) {
            const uint32_t first = 1 + static_cast<uint32_t>(next_) * (1u << first_level_);
            const uint32_t end = std::min(first + (1u << first_level_), singles_ + 1);
            PreciseBlaStep<T> s = single(first);
            for (uint32_t m = first + 1; m < end; ++m) s = merge(s, single(m));
            level.push_back(s);
        } else {
            const std::vector<PreciseBlaStep<T>>& below = levels_[levels_.size() - 2];
            const size_t j = 2 * next_;
            level.push_back(j + 1 < below.size() ? merge(below[j], below[j + 1]) : below[j]);
        }
        ++next_;
        if (next_ == level_size_) {
            next_ = 0;
            if (level.size() == 1) complete_ = true;
        }
    }
    return complete_;
}

template class PreciseBlaTable<long double>;
template class PreciseBlaTable<DoubleDouble>;
template class PreciseBlaTable<LongDoubleDouble>;

}  // namespace quorvel
