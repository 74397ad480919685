// BigFloat arithmetic and the two escape-time kernels.
#include "bigfloat/big_float.h"
#include "bigfloat/big_float_lanes.h"
#include "bigfloat/orbit_batch.h"

namespace quorvel {

int compare_magnitude(const BigFloat& a, const BigFloat& b) {
    if (a.exponent != b.exponent) return a.exponent > b.exponent ? 1 : 2;
    for (int i = 5; i >= 0; --i)
        if (a.mant[i] != b.mant[i]) return a.mant[i] > b.mant[i] ? 1 : 2;
    return 0;
}

void add_magnitudes(BigFloat& x, const BigFloat& y) {
    const uint32_t sign = x.negative;
    lanes::store(x, lanes::magnitudes(lanes::from(x), lanes::from(y), 0));
    x.negative = sign;
}

void subtract_magnitudes(BigFloat& x, const BigFloat& y) {
    const uint32_t sign = x.negative;
    lanes::store(x, lanes::magnitudes(lanes::from(x), lanes::from(y), 1));
    x.negative = sign;
}

BigFloat& BigFloat::operator+=(const BigFloat& b) {
    lanes::store(*this, lanes::add(lanes::from(*this), lanes::from(b)));
    return *this;
}

BigFloat& BigFloat::operator-=(const BigFloat& b) {
    lanes::store(*this, lanes::add(lanes::from(*this), lanes::negated(lanes::from(b))));
    return *this;
}

BigFloat& BigFloat::operator*=(const BigFloat& b) {
    if (&b == this)
        lanes::store(*this, lanes::square(lanes::from(*this)));
    else
        lanes::store(*this, lanes::mul(lanes::from(*this), lanes::from(b)));
    return *this;
}

uint32_t iterate_big_float(uint32_t max_iterations, const BigFloat& cx, const BigFloat& cy,
                           EscapedZ* z) {
    if (big_float_uses_mulx()) return iterate_big_float_mulx(max_iterations, cx, cy, z);
    using namespace lanes;
    const Num c_re = from(cx), c_im = from(cy);
    Num x = c_re, y = c_im;
    uint32_t n = 1;
    Seen seen;
    orbit(max_iterations, c_re, c_im, x, y, n, seen, UINT32_MAX, [] { return false; });
    if (z) *z = escaped_z(x, y);
    return n;
}

uint32_t iterate_double(uint32_t max_iterations, double cx, double cy) {
    double x = cx, y = cy;
    uint32_t n = 1;
    // Brent's cycle detection, looked at every kLook counts behind the one
    // test of the limit: z is remembered at counts that about double, and an
    // orbit back at a remembered z never escapes.
    constexpr uint32_t kLook = 8;
    double seen_x = x, seen_y = y;
    uint32_t mark = kLook;
    uint32_t stop = max_iterations < kLook ? max_iterations : kLook;
    while (double_step(cx, cy, x, y)) {
        if (++n < stop) [[likely]]
            continue;
        if (n >= max_iterations) break;
        if (x == seen_x && y == seen_y) return max_iterations;
        if (n >= mark) {
            seen_x = x;
            seen_y = y;
            mark = n > UINT32_MAX / 2 ? UINT32_MAX : 2 * n;
        }
        stop = max_iterations - n > kLook ? n + kLook : max_iterations;
    }
    return n;
}

}  // namespace quorvel
