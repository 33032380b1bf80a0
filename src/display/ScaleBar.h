#pragma once

#include "engine/core/MapStore.h"

#include <array>

namespace quelby {

// The reference bar of the scale maps: ten bands of fifteen rows, band 0 at the top,
// inside a frame one value wide.
inline constexpr int ScaleBarTop = 53;
inline constexpr int ScaleBarBottom = 202;
inline constexpr int ScaleBarLeft = 235;
inline constexpr int ScaleBarRight = 250;
inline constexpr int ScaleBandRows = 15;
inline constexpr int ScaleBandCount = 10;

inline constexpr int ScaleFrameTop = ScaleBarTop - 1;
inline constexpr int ScaleFrameBottom = ScaleBarBottom + 1;
inline constexpr int ScaleFrameLeft = ScaleBarLeft - 1;
inline constexpr int ScaleFrameRight = ScaleBarRight + 1;
inline constexpr double FrameValue = 300.0;

static_assert(ScaleBarBottom - ScaleBarTop + 1 == ScaleBandRows * ScaleBandCount);

using ScaleBands = std::array<double, ScaleBandCount>;

// Band b holds (9 - b) * step + min: min at the bottom.
ScaleBands ScaleBandValues(double min, double step);

// Writes the bar's values only.
void WriteScaleBar(Map& map, const ScaleBands& bands);
inline void WriteScaleBar(Map& map, double min, double step) { WriteScaleBar(map, ScaleBandValues(min, step)); }

// Writes FrameValue on the frame around the bar, nothing else.
void WriteScaleFrame(Map& map);

}  // namespace quelby
