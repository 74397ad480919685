// A reference orbit of c given as doubles, complete, as the kernels read it:
// the shared fixture of the perturbation and linear-step tests.
#pragma once

#include <cstdint>

#include "deep/mpfr_number.h"
#include "deep/perturbation.h"
#include "deep/reference_orbit.h"

namespace quorvel {

struct TestOrbit {
    ReferenceOrbit orbit;
    TestOrbit(double cx, double cy, uint32_t limit) : orbit(make(cx, cy, limit)) {
        orbit.complete_now();
    }
    static ReferenceOrbit make(double cx, double cy, uint32_t limit) {
        MpfrNumber x(192), y(192);
        mpfr_set_d(x.get(), cx, MPFR_RNDN);
        mpfr_set_d(y.get(), cy, MPFR_RNDN);
        return ReferenceOrbit(x.get(), y.get(), 192, limit, false);
    }
    OrbitSpan span() const { return {orbit.re(), orbit.im(), orbit.length(), orbit.escaped()}; }
};

}  // namespace quorvel
