#include "deep/bla_table.h"

#include <cmath>

#include "base/stopwatch.h"
#include "deep/perturbation.h"

namespace quorvel {

namespace {

// Entries built between two looks at the clock.
constexpr size_t kEntriesPerCheck = 1024;

// |Z|^2 from which a single step gets no radius: a pixel within it of Z could
// meet the escape test, or come too close to 4 to call, inside a longer step.
constexpr double kNearEscape =
    4.0 * (1.0 - 4.0 * kUndecidedEscape) / ((1.0 + 4.0 * kBlaEpsilon) * (1.0 + 4.0 * kBlaEpsilon));

double as_double(double x) { return x; }
double as_double(ExtFloat x) { return x.to_double(); }
double root(double x) { return std::sqrt(x); }
ExtFloat root(ExtFloat x) { return sqrt(x); }
template <class T>
T zero() {
    return T(0.0);
}

}  // namespace

template <class T>
BlaTable<T>::BlaTable(const T* zre, const T* zim, uint32_t length, T c_max, size_t max_bytes)
    : zre_(zre), zim_(zim), singles_(length >= 3 ? length - 2 : 0), c_max_(c_max) {
    // Levels from k on take at most 2^(1-k) entries a single step, and one
    // more a level.
    while (first_level_ < 30 &&
           ((size_t{singles_} >> (first_level_ - 1)) + 32) * sizeof(BlaStep<T>) > max_bytes)
        ++first_level_;
    if (singles_ < (uint32_t{1} << first_level_)) complete_ = true;
}

template <class T>
size_t BlaTable<T>::memory_size() const {
    size_t size = 0;
    for (const auto& level : levels_) size += level.capacity() * sizeof(BlaStep<T>);
    return size;
}

template <class T>
BlaStep<T> BlaTable<T>::single(uint32_t m) const {
    const T zr = zre_[m], zi = zim_[m];
    const T z2 = zr * zr + zi * zi;
    const T r = as_double(z2) >= kNearEscape ? zero<T>() : T(kBlaEpsilon) * root(z2);
    // The dropped term is dz^2 itself.
    return BlaStep<T>{zr + zr, zi + zi, T(1.0), zero<T>(), r * r, T(1.0), zero<T>(), zero<T>()};
}

// Step x, then step y: valid while dz is within x's radius and x leaves it
// within y's, whatever the pixel's dc.
template <class T>
BlaStep<T> BlaTable<T>::merge(const BlaStep<T>& x, const BlaStep<T>& y) const {
    BlaStep<T> s;
    s.ar = y.ar * x.ar - y.ai * x.ai;
    s.ai = y.ar * x.ai + y.ai * x.ar;
    s.br = (y.ar * x.br - y.ai * x.bi) + y.br;
    s.bi = (y.ar * x.bi + y.ai * x.br) + y.bi;
    const T a = root(x.ar * x.ar + x.ai * x.ai);
    const T b = root(x.br * x.br + x.bi * x.bi);
    // x's dropped terms pass through y's |A|; y's start from an offset of
    // at most a |dz| + b |dc|.
    const T ay = root(y.ar * y.ar + y.ai * y.ai);
    s.p = ay * x.p + y.p * (a * a);
    s.q = ay * x.q + (T(2.0) * y.p * (a * b) + y.q * a);
    s.s = ay * x.s + ((y.p * (b * b) + y.q * b) + y.s);
    const T ry = root(y.r2) - b * c_max_;
    if (as_double(a) == 0.0 || !(zero<T>() < ry)) {
        s.r2 = zero<T>();
    } else {
        const T r = ry / a;
        const T r2 = r * r;
        s.r2 = r2 < x.r2 ? r2 : x.r2;
    }
    return s;
}

template <class T>
bool BlaTable<T>::advance(double seconds) {
    Stopwatch watch;
    for (size_t done = 0; !complete_; ++done) {
        if (done % kEntriesPerCheck == kEntriesPerCheck - 1 && watch.elapsed() >= seconds) break;
        if (levels_.empty() || next_ == 0) {
            // A new level: its size is known, so it is reserved at once.
            const uint32_t span = uint32_t{1} << (first_level_ + levels_.size());
            level_size_ = (singles_ + span - 1) / span;
            levels_.emplace_back().reserve(level_size_);
        }
        std::vector<BlaStep<T>>& level = levels_.back();
        if (levels_.size() == 1) {
            // From the single steps at 1 + 2^k j .. at most 2^k (j + 1).
            const uint32_t first = 1 + static_cast<uint32_t>(next_) * (1u << first_level_);
            const uint32_t end = std::min(first + (1u << first_level_), singles_ + 1);
            BlaStep<T> s = single(first);
            for (uint32_t m = first + 1; m < end; ++m) s = merge(s, single(m));
            level.push_back(s);
        } else {
            const std::vector<BlaStep<T>>& below = levels_[levels_.size() - 2];
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

template class BlaTable<double>;
template class BlaTable<ExtFloat>;

}  // namespace quorvel
