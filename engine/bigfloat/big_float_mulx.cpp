// The 192-bit kernels with mulx/adx products; called only where the processor
// has BMI2 and ADX. The lane arithmetic is the same exact integer sums, so the
// counts equal those of the other forms.
#define QV_LANES_MULX 1
#include "bigfloat/big_float_lanes.h"
#include "bigfloat/big_orbit.h"
#include "bigfloat/orbit_batch.h"

namespace quorvel {

uint32_t iterate_big_float_mulx(uint32_t max_iterations, const BigFloat& cx, const BigFloat& cy,
                                EscapedZ* z) {
    using namespace lanes;
    const Num c_re = from(cx), c_im = from(cy);
    Num x = c_re, y = c_im;
    uint32_t n = 1;
    Seen seen;
    orbit(max_iterations, c_re, c_im, x, y, n, seen, UINT32_MAX, [] { return false; });
    if (z) *z = escaped_z(x, y);
    return n;
}

bool iterate_big_float_resumable_mulx(uint32_t max_iterations, const BigFloat& cx,
                                      const BigFloat& cy, BigOrbit& orbit, const Budget& budget) {
    return resume_big_orbit(max_iterations, cx, cy, orbit, budget);
}

}  // namespace quorvel
