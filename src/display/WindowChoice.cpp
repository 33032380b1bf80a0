#include "display/WindowChoice.h"

#include "engine/core/CheckedFloat.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quelby {

namespace {

using Limits = std::numeric_limits<std::int16_t>;

// The low 16 bits, read as signed: what storing into a 16-bit field keeps.
std::int16_t low16(std::int64_t n) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(n)); }

// A largest value of 32768 or more (only a noise map of extreme data gets there)
// does not fit the field; wrapping would turn the window negative or tiny and show
// a meaningless picture, so the window is held at the widest it can be instead.
std::int16_t truncClamped(double x)
{
    return static_cast<std::int16_t>(std::clamp(std::trunc(x), double{Limits::min()}, double{Limits::max()}));
}

}  // namespace

Window windowFromLargest(double largest)
{
    return {truncClamped(largest / 2), truncClamped(largest)};
}

Window snrWindow(double scaleMin, double scaleStep)
{
    const checked::Extended min = scaleMin;
    const checked::Extended step = scaleStep;
    return {low16(checked::trunc(step * 5 + min)), low16(checked::trunc(step * 20 + min))};
}

Window dragWindow(const DragState& drag, int x, int y)
{
    const std::int16_t level = low16(std::int64_t{y} - drag.StartY + drag.StartLevel);
    const std::int16_t width = low16(std::int64_t{x} - drag.StartX + drag.StartWidth);
    return {level, std::max<std::int16_t>(width, 1)};
}

}  // namespace quelby
