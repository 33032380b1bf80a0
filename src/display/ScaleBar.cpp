#include "ScaleBar.h"

#include "CheckedFloat.h"

namespace quelby {

void WriteScaleBar(Map& map, double min, double step)
{
    for (int row = ScaleBarTop; row <= ScaleBarBottom; ++row) {
        const int band = (row - ScaleBarTop) / ScaleBandRows;
        const checked::Extended steps = ScaleBandCount - 1 - band;
        const double value = checked::store(steps * step + min);
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
