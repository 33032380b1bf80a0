#pragma once

#include "engine/core/MapStore.h"

#include <algorithm>
#include <cstdint>

namespace quelby {

// The grey of one map value under the window (level, width): the value's whole
// part v (low 32 bits of Trunc), lower edge L - W div 2, grey (v - edge) * 256 div W
// clipped to 0..255. The product is taken in 64 bits, so values far outside the
// window clip instead of wrapping. Width 0 fails with the integer division by zero
// (after the value's own Trunc, which fails first for NaN or beyond 64 bits).
std::uint8_t greyOf(double value, std::int16_t level, std::int16_t width);

// Writes the grey of every map value into rows[r][3c..3c+2] (blue, green, red, all
// equal), exactly as greyOf would. Width 0 fails before any byte is written.
void renderMap(const Map& map, std::int16_t level, std::int16_t width, std::uint8_t* const rows[ImageSide]);

namespace detail {

// The fast path's grey per unit of value: 256 / |width| rounded one step away from
// zero, negative for a negative width. For an offset d = sign * (v - lower) with
// 0 < d < |width| the exact product is at least 256 d / |width| but less than
// 2^-43 above it, while 256 d / |width| lies at least 1 / |width| >= 2^-15 below
// the next integer; so the product, rounded to a double, keeps the same floor.
double greyPerUnit(std::int16_t width);

// The grey of a whole-number offset from the lower edge, given greyPerUnit.
inline std::uint8_t rampGrey(double offset, double perUnit)
{
    const double p = offset * perUnit;
    // In this order a NaN clamps to 0 instead of reaching the conversion.
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(std::min(255.0, std::max(0.0, p))));
}

}  // namespace detail

}  // namespace quelby
