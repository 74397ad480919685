#include "deep/grid_coordinates.h"

#include <algorithm>
#include <type_traits>

namespace quorvel {

namespace {

// Exact differences of two 192-bit coordinates, before their rounding.
constexpr long kDifferenceBits = 512;

// Table entries minus table[from], each rounded by `convert`.
template <class T, class Convert>
std::vector<T> table_offsets(const std::vector<BigFloat>& table, int32_t from, Convert convert) {
    MpfrNumber a(kDifferenceBits), b(kDifferenceBits);
    set_from_big_float(b.get(), table[static_cast<size_t>(from)]);
    std::vector<T> out(table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        set_from_big_float(a.get(), table[i]);
        mpfr_sub(a.get(), a.get(), b.get(), MPFR_RNDN);
        out[i] = convert(a.get());
    }
    return out;
}

}  // namespace

GridCoordinates::GridCoordinates(const std::vector<BigFloat>& columns,
                                 const std::vector<BigFloat>& rows) {
    columns_.table = &columns;
    columns_.count = static_cast<int32_t>(columns.size());
    rows_.table = &rows;
    rows_.count = static_cast<int32_t>(rows.size());
}

GridCoordinates::GridCoordinates(const WideReal& centre_x, const WideReal& centre_y,
                                 ExtFloat step_x, ExtFloat step_y, int32_t width, int32_t height) {
    columns_.centre = centre_x;
    columns_.step = step_x;
    columns_.count = width;
    rows_.centre = centre_y;
    rows_.step = step_y;
    rows_.count = height;
}

void GridCoordinates::Axis::set(mpfr_ptr out, int32_t i) const {
    if (table) {
        set_from_big_float(out, (*table)[static_cast<size_t>(i)]);
        return;
    }
    // Half steps, so that an odd count puts the centre between two pixels, as
    // the 192-bit tables do.
    const WideReal exact = centre.plus_scaled(2 * int64_t{i} - count, ldexp(step, -1));
    mpfr_set(out, exact.get(), MPFR_RNDN);
}

std::vector<double> GridCoordinates::Axis::offsets(int32_t from) const {
    if (table)
        return table_offsets<double>(*table, from,
                                     [](mpfr_srcptr v) { return mpfr_get_d(v, MPFR_RNDN); });
    std::vector<double> out(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        out[static_cast<size_t>(i)] = (ExtFloat(static_cast<double>(i - from)) * step).to_double();
    return out;
}

std::vector<ExtFloat> GridCoordinates::Axis::offsets_ext(int32_t from) const {
    if (table) return table_offsets<ExtFloat>(*table, from, ext_from_mpfr);
    std::vector<ExtFloat> out(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        out[static_cast<size_t>(i)] = ExtFloat(static_cast<double>(i - from)) * step;
    return out;
}

long GridCoordinates::Axis::offset_bits(mpfr_srcptr origin) const {
    return std::max<long>(kDifferenceBits, mpfr_get_prec(origin)) +
           (table ? 0 : centre.precision()) + 64;
}

void GridCoordinates::Axis::set_offset(mpfr_ptr out, int32_t i, mpfr_srcptr origin) const {
    const long bits = offset_bits(origin);
    MpfrNumber coordinate(bits);
    set(coordinate.get(), i);
    mpfr_set_prec(out, bits);
    mpfr_sub(out, coordinate.get(), origin, MPFR_RNDN);
}

// The exact differences are rounded once more into T.
template <class T>
std::vector<T> GridCoordinates::Axis::offsets_from(mpfr_srcptr origin) const {
    const long bits = offset_bits(origin);
    MpfrNumber coordinate(bits), difference(bits);
    std::vector<T> out(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        set(coordinate.get(), i);
        mpfr_sub(difference.get(), coordinate.get(), origin, MPFR_RNDN);
        if constexpr (std::is_same_v<T, double>)
            out[static_cast<size_t>(i)] = mpfr_get_d(difference.get(), MPFR_RNDN);
        else
            out[static_cast<size_t>(i)] = ext_from_mpfr(difference.get());
    }
    return out;
}

template std::vector<double> GridCoordinates::Axis::offsets_from<double>(mpfr_srcptr) const;
template std::vector<ExtFloat> GridCoordinates::Axis::offsets_from<ExtFloat>(mpfr_srcptr) const;

}  // namespace quorvel
