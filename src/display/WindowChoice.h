#pragma once

#include "engine/core/MapStore.h"

#include <cstdint>

namespace quelby {

// The grey window: centre (WL) and width (WW), each a 16-bit signed field.
struct Window {
    std::int16_t level;
    std::int16_t width;

    friend bool operator==(const Window&, const Window&) = default;
};

// The window of a map from its largest value: level half of it, width all of it.
Window windowFromLargest(double largest);

// The window of an SNR map: it spans the bands of the reference bar.
Window snrWindow(double scaleMin, double scaleStep);

// The g-factor map holds g × 100; this window spans g from 0 to 4.
inline constexpr Window GFactorWindow{200, 400};

// The window while dragging: the window at the press plus the pointer's
// displacement since, vertical for the level and horizontal for the width.
Window dragWindow(const DragState& drag, int x, int y);

}  // namespace quelby
