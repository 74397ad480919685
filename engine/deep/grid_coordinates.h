// GridCoordinates: where a view's pixels lie, for the references and pixel
// offsets of perturbation. A view within 192 bits lends its BigFloat tables; a
// deeper one gives its exact centre and steps, pixel (x, y) lying at
// centre_x + (2x - width) step_x / 2, centre_y + (2y - height) step_y / 2.
#pragma once

#include <cstdint>
#include <vector>

#include "bigfloat/big_float.h"
#include "bigfloat/ext_float.h"
#include "deep/mpfr_number.h"
#include "deep/wide_real.h"

namespace quorvel {

class GridCoordinates {
public:
    // The tables must outlive this object unchanged.
    GridCoordinates(const std::vector<BigFloat>& columns, const std::vector<BigFloat>& rows);
    GridCoordinates(const WideReal& centre_x, const WideReal& centre_y, ExtFloat step_x,
                    ExtFloat step_y, int32_t width, int32_t height);

    int32_t width() const { return columns_.count; }
    int32_t height() const { return rows_.count; }
    // The exact coordinate, rounded to out's precision.
    void set_column(mpfr_ptr out, int32_t x) const { columns_.set(out, x); }
    void set_row(mpfr_ptr out, int32_t y) const { rows_.set(out, y); }
    // Every column's (row's) offset from column (row) `from`, rounded to
    // nearest, as doubles or with an extended exponent.
    std::vector<double> column_offsets(int32_t from) const { return columns_.offsets(from); }
    std::vector<double> row_offsets(int32_t from) const { return rows_.offsets(from); }
    std::vector<ExtFloat> column_offsets_ext(int32_t from) const {
        return columns_.offsets_ext(from);
    }
    std::vector<ExtFloat> row_offsets_ext(int32_t from) const { return rows_.offsets_ext(from); }
    // Every column's (row's) offset from a point anywhere, such as a
    // reference between pixels.
    // out = column x (row y) - origin, out's precision reset to hold it.
    void set_column_offset(mpfr_ptr out, int32_t x, mpfr_srcptr origin) const {
        columns_.set_offset(out, x, origin);
    }
    void set_row_offset(mpfr_ptr out, int32_t y, mpfr_srcptr origin) const {
        rows_.set_offset(out, y, origin);
    }
    std::vector<double> column_offsets_from(mpfr_srcptr origin) const {
        return columns_.offsets_from<double>(origin);
    }
    std::vector<double> row_offsets_from(mpfr_srcptr origin) const {
        return rows_.offsets_from<double>(origin);
    }
    std::vector<ExtFloat> column_offsets_ext_from(mpfr_srcptr origin) const {
        return columns_.offsets_from<ExtFloat>(origin);
    }
    std::vector<ExtFloat> row_offsets_ext_from(mpfr_srcptr origin) const {
        return rows_.offsets_from<ExtFloat>(origin);
    }

private:
    // One axis: a table of BigFloats, or a centre and a step.
    struct Axis {
        const std::vector<BigFloat>* table = nullptr;
        WideReal centre;
        ExtFloat step;
        int32_t count = 0;

        void set(mpfr_ptr out, int32_t i) const;
        std::vector<double> offsets(int32_t from) const;
        std::vector<ExtFloat> offsets_ext(int32_t from) const;
        template <class T>
        std::vector<T> offsets_from(mpfr_srcptr origin) const;
        // Wide enough that a coordinate less origin is exact, or all but so.
        long offset_bits(mpfr_srcptr origin) const;
        void set_offset(mpfr_ptr out, int32_t i, mpfr_srcptr origin) const;
    };

    Axis columns_, rows_;
};

}  // namespace quorvel
