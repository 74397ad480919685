// Values of wider arithmetic that its kernels and its table of linear steps
// share: the reference orbit read in the wider type, and the leading parts
// that their tests and bounds use.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "bigfloat/ext_float.h"
#include "deep/double_double.h"
#include "deep/perturbation.h"

namespace quorvel::precise_detail {

// Rounding error of a step, squared, relative to |dz|^2: a few units in the
// last place of the type's products and sums, and of the reference's values.
inline double step_error_squared(long double) {
    // Where long double is a double, it rounds as one.
    return std::numeric_limits<long double>::digits >= 64 ? 0x1p-122 : 4.0 * kStepErrorSquared;
}
// Twofold sums hold the reference to about 2^-106 (two 53-bit parts).
inline double step_error_squared(DoubleDouble) { return 0x1p-200; }
inline double step_error_squared(LongDoubleDouble) { return 0x1p-200; }

// The x87 format: a 64-bit significand with its leading bit, then the sign
// and a 15-bit exponent biased by 16383.
constexpr bool kX87 = std::numeric_limits<long double>::digits == 64 &&
                      std::numeric_limits<long double>::max_exponent == 16384;

// value = m 2^e as a long double: exact for the 53-bit m, 0 far below the
// smallest long double (where no value of a view lies). 2^e is formed from its
// bits, as ldexpl would cost more than the step itself.
inline long double to_long_double(ExtFloat x) {
    // Within the double range, 2^e is a double made from its bits in a
    // register: a long double built in memory stalls its load.
    if (x.e >= -1022 && x.e <= 1023) {
        const uint64_t bits = static_cast<uint64_t>(x.e + 1023) << 52;
        double scale = 0.0;
        std::memcpy(&scale, &bits, sizeof scale);
        return static_cast<long double>(x.m * scale);
    }
    if (x.m == 0.0 || x.e < -16300) return 0.0L;
    if constexpr (kX87) {
        const uint64_t significand = uint64_t{1} << 63;
        const auto exponent = static_cast<uint16_t>(x.e + 16383);
        long double scale = 0.0L;
        std::memcpy(&scale, &significand, sizeof significand);
        std::memcpy(reinterpret_cast<unsigned char*>(&scale) + sizeof significand, &exponent,
                    sizeof exponent);
        return static_cast<long double>(x.m) * scale;
    }
    return std::ldexp(static_cast<long double>(x.m), static_cast<int>(x.e));
}

// Z_k, from its double or extended parts.
inline long double value(const double* hi, const double* lo, const ExtFloat* ext_hi,
                         const ExtFloat* ext_lo, uint32_t k, long double) {
    if (ext_hi) return to_long_double(ext_hi[k]) + to_long_double(ext_lo[k]);
    return static_cast<long double>(hi[k]) + static_cast<long double>(lo[k]);
}
inline DoubleDouble value(const double* hi, const double* lo, const ExtFloat*, const ExtFloat*,
                          uint32_t k, DoubleDouble) {
    return {hi[k], lo[k]};
}
inline LongDoubleDouble value(const double* hi, const double* lo, const ExtFloat* ext_hi,
                              const ExtFloat* ext_lo, uint32_t k, LongDoubleDouble) {
    if (ext_hi)
        return twofold_detail::quick_two_sum(to_long_double(ext_hi[k]), to_long_double(ext_lo[k]));
    return twofold_detail::quick_two_sum(static_cast<long double>(hi[k]),
                                         static_cast<long double>(lo[k]));
}

inline long double twice(long double x) { return x + x; }
inline long double quick_add(long double a, long double b) { return a + b; }
// Leading parts, for the tests; long double keeps the range that extended
// offsets and their squares need.
inline long double leading(long double x) { return x; }
inline double leading(DoubleDouble x) { return x.hi; }
inline long double leading(LongDoubleDouble x) { return x.hi; }

}  // namespace quorvel::precise_detail
