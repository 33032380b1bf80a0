#include "display/Rendering.h"

#include "engine/core/CheckedFloat.h"
#include "engine/core/Failure.h"

#include <algorithm>
#include <cmath>

namespace quelby {

std::uint8_t greyOf(double value, std::int16_t level, std::int16_t width)
{
    // The whole part as a 32-bit integer keeps the low 32 bits of the 64-bit Trunc.
    const auto v = static_cast<std::int32_t>(static_cast<std::uint32_t>(checked::trunc(value)));
    const std::int32_t lower = std::int32_t{level} - std::int32_t{width} / 2;
    const std::int64_t n = (std::int64_t{v} - lower) * 256;
    if (width == 0) throw Failure::integerDivisionByZero();
    const std::int64_t g = n / width;
    return static_cast<std::uint8_t>(std::clamp<std::int64_t>(g, 0, 255));
}

namespace detail {

double greyPerUnit(std::int16_t width)
{
    const double exact = 256.0 / std::abs(static_cast<double>(width));
    const double outward = std::nextafter(exact, HUGE_VAL);
    return width < 0 ? -outward : outward;
}

}  // namespace detail

namespace {

// The common case: every value's whole part fits 32 bits, so v is Trunc itself and
// the offset from the lower edge is exact in a double. Greys are gathered first and
// spread to three bytes after, which vectorises far better than one fused loop.
// Returns false, with the row untouched, when a value does not fit.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
bool renderRowFast(const double* __restrict values, std::uint8_t* __restrict out, double lower, double perUnit)
{
    constexpr double fitLimit = 0x1p31;
    // Lanes as wide as the doubles: a bool or int reduction costs shuffles or stops vectorising.
    std::int64_t allFit = 1;
    std::uint8_t grey[ImageSide];
    for (int c = 0; c < ImageSide; ++c) {
        const double x = values[c];
        allFit &= static_cast<std::int64_t>(std::fabs(x) < fitLimit);
        grey[c] = detail::rampGrey(std::trunc(x) - lower, perUnit);
    }
    if (!allFit) return false;
    for (int c = 0; c < ImageSide; ++c) {
        out[3 * c] = grey[c];
        out[3 * c + 1] = grey[c];
        out[3 * c + 2] = grey[c];
    }
    return true;
}

void renderRowLiteral(const double* values, std::uint8_t* out, std::int16_t level, std::int16_t width)
{
    for (int c = 0; c < ImageSide; ++c) {
        const std::uint8_t g = greyOf(values[c], level, width);
        out[3 * c] = g;
        out[3 * c + 1] = g;
        out[3 * c + 2] = g;
    }
}

}  // namespace

void renderMap(const Map& map, std::int16_t level, std::int16_t width, std::uint8_t* const rows[ImageSide])
{
    if (width == 0) {
        // The literal loop fails at its first pixel: that value's Trunc, then the division.
        checked::trunc(map[0][0]);
        throw Failure::integerDivisionByZero();
    }
    const double lower = std::int32_t{level} - std::int32_t{width} / 2;
    const double perUnit = detail::greyPerUnit(width);
    for (int r = 0; r < ImageSide; ++r) {
        if (!renderRowFast(map[r].data(), rows[r], lower, perUnit))
            renderRowLiteral(map[r].data(), rows[r], level, width);
    }
}

}  // namespace quelby
