// ReferenceOrbit: one point's orbit z_{k+1} = z_k^2 + c iterated with MPFR and
// kept rounded to nearest, as doubles or, for views below the double range, with
// an extended exponent; computed a time slice at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "bigfloat/big_float.h"
#include "bigfloat/ext_float.h"
#include "deep/mpfr_number.h"

namespace quorvel {

class ReferenceOrbit {
public:
    // Longest orbit kept (16 bytes an entry); pixels past it rebase to its start.
    static constexpr uint32_t kMaxLength = 1u << 22;

    // The orbit of c = cx + i*cy at `bits` of precision, up to z_{limit-1} (or
    // the first z with |z|^2 >= 4, whichever comes first), its first `kept`
    // values (at most kMaxLength) kept as ExtFloats when `extended`,
    // otherwise as doubles. Past `kept` it only counts.
    ReferenceOrbit(mpfr_srcptr cx, mpfr_srcptr cy, long bits, uint32_t limit, bool extended,
                   uint32_t kept = kMaxLength);

    // Iterates for about `seconds` (at least a few steps); true once complete.
    bool advance(double seconds);
    void complete_now();

    bool complete() const { return complete_; }
    // The stored orbit ends where it escaped, before the limit: pixels that
    // outlast it need another. (One that escaped past its stored values
    // serves as an orbit cut short.)
    bool escaped() const { return escaped_ && iterations_ == length_; }
    // Number of stored values z_0 .. z_{length-1}; z_0 = 0.
    uint32_t length() const { return length_; }
    bool extended() const { return extended_; }
    // The stored values of an orbit kept as doubles, or as ExtFloats.
    const double* re() const { return re_.data(); }
    const double* im() const { return im_.data(); }
    const ExtFloat* ext_re() const { return ext_re_.data(); }
    const ExtFloat* ext_im() const { return ext_im_.data(); }
    // An extended orbit's values as the extended kernel's SIMD lanes read them
    // (form_lane_values, 16 bytes more an entry), formed at the first call
    // once the orbit is complete.
    const double* lane_re();
    const double* lane_im();
    // The count of the orbit's own point, when the orbit decides it: it
    // escaped, or it reached `max_iterations`. 0 for an orbit cut before.
    uint32_t own_count(uint32_t max_iterations) const;
    // The latest z rounded to doubles: the escaped z of an orbit that escaped.
    EscapedZ latest_z() const;
    size_t memory_size() const {
        return (re_.capacity() + im_.capacity()) * sizeof(double) +
               (ext_re_.capacity() + ext_im_.capacity()) * sizeof(ExtFloat) +
               (lane_re_.capacity() + lane_im_.capacity()) * sizeof(double);
    }

private:
    void step();
    void keep(double zr, double zi);

    uint32_t target_;
    uint32_t kept_;
    uint32_t length_ = 0;
    uint32_t iterations_ = 0;
    bool extended_;
    // |z|^2 >= 4 for the latest z, decided exactly when doubles cannot.
    bool latest_escapes(double zr, double zi);

    MpfrNumber c_re_, c_im_, x_, y_, xx_, yy_;
    std::vector<double> re_, im_;
    std::vector<ExtFloat> ext_re_, ext_im_;
    std::vector<double> lane_re_, lane_im_;
    bool complete_ = false;
    bool escaped_ = false;
};

// Bits for a reference orbit of a view of this radius: 64 more than the
// radius's depth, at least the 192 of the coordinates.
long reference_bits(double radius);
long reference_bits(ExtFloat radius);

}  // namespace quorvel
