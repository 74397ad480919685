// NucleusSearch: the nucleus of a minibrot near a view, whose periodic orbit
// serves as a reference that never escapes. The period is the first n at which
// the view's disk, carried along the centre's orbit with dz/dc, takes in 0; the
// nucleus solves z_p(c) = 0 by Newton's method, with c an offset from the
// centre iterated against the centre's stored orbit. Works a time slice at a
// time while the centre's orbit grows.
#pragma once

#include <cstdint>

#include "bigfloat/ext_float.h"
#include "deep/reference_orbit.h"

namespace quorvel {

class NucleusSearch {
public:
    enum class Result { working, found, failed };

    // A view of this radius around the centre.
    explicit NucleusSearch(ExtFloat radius) : radius_(radius) {}

    // Scans the stored values of the centre's orbit not yet seen, for about
    // `seconds`; true once a period is found (later calls solve for it).
    bool scan(const ReferenceOrbit& centre, double seconds);
    // Newton steps for the period found, for about `seconds`. A search that
    // failed may scan on for a longer period while tries remain.
    Result solve(const ReferenceOrbit& centre, double seconds);
    // Every stored value of the orbit has been scanned.
    bool caught_up(const ReferenceOrbit& centre) const { return scanned_ >= centre.length(); }
    bool tries_left() const { return tries_ < kMaxTries; }

    uint32_t period() const { return period_; }
    // The nucleus minus the centre, once found.
    ExtFloat offset_re() const { return delta_re_; }
    ExtFloat offset_im() const { return delta_im_; }

    // A nucleus further from the centre than this many radii is not used.
    static constexpr double kMaxRadii = 4.0;
    // Periods tried before the search gives up.
    static constexpr int kMaxTries = 3;
    // Newton steps one period may take.
    static constexpr int kMaxSteps = 48;

private:
    template <class T>
    bool scan_values(const T* re, const T* im, uint32_t length, double seconds);
    template <class T>
    Result solve_values(const T* re, const T* im, double seconds);
    // The end of a Newton pass: the step, and whether it converged or failed.
    Result finish_pass(ExtFloat zr, ExtFloat zi);

    ExtFloat radius_;
    // The scan: values seen so far and dz/dc at the next one.
    uint32_t scanned_ = 0;
    ExtFloat der_re_{0.0}, der_im_{0.0};
    // Periods up to this one were tried and failed.
    uint32_t tried_up_to_ = 0;
    // The period under way (0 while scanning) and the tries so far.
    uint32_t period_ = 0;
    int tries_ = 0;
    // Newton: the guess, the steps taken, and the pass under way at index
    // at_: the offset from the centre's orbit and dz/dc.
    ExtFloat delta_re_{0.0}, delta_im_{0.0};
    int steps_ = 0;
    uint32_t at_ = 0;
    ExtFloat dz_re_{0.0}, dz_im_{0.0}, dd_re_{0.0}, dd_im_{0.0};
};

}  // namespace quorvel
