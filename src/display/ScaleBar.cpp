#include "display/ScaleBar.h"

#include "engine/core/CheckedFloat.h"

namespace quelby {

ScaleBands ScaleBandValues(double min, double step)
{
    ScaleBands bands;
    for (int band = 0; band < ScaleBandCount; ++band) {
        const checked::Extended steps = ScaleBandCount - 1 - band;
        bands[band] = checked::store(steps * step + min);
    }
    return bands;
}

void WriteScaleBar(Map& map, const ScaleBands& bands)
{
    for (int row = ScaleBarTop; row <= ScaleBarBottom; ++row) {
        const double value = bands[(row - ScaleBarTop) / ScaleBandRows];
        for (int col = ScaleBarLeft; col <= ScaleBarRight; ++col) map[row][col] = value;
    }
}

void WriteScaleFrame(Map& map)
{
    for (int row = ScaleFrameTop; row <= ScaleFrameBottom; ++row) {
        map[row][ScaleFrameLeft] = FrameValue;
        map[row][ScaleFrameRight] = FrameValue;
    }
    for (int col = ScaleFrameLeft; col <= ScaleFrameRight; ++col) {
        map[ScaleFrameTop][col] = FrameValue;
        map[ScaleFrameBottom][col] = FrameValue;
    }
}

}  // namespace quelby
