#include "display/DisplayTexts.h"

#include "engine/core/CheckedFloat.h"
#include "engine/core/MapStore.h"
#include "engine/core/NumberText.h"

namespace quelby {

namespace {

// The g-factor map holds g × 100.
double inGUnits(double stored) { return static_cast<double>(static_cast<checked::Extended>(stored) / 100); }

std::string pairText(const std::string& name, const std::string& first, const std::string& second)
{
    return "( " + name + " ) = ( " + first + " , " + second + " )";
}

}  // namespace

std::string runWindowText(Window window)
{
    return "(wl,ww) = (" + std::to_string(window.level) + "," + std::to_string(window.width) + ")";
}

std::string windowText(Window window, int mapIndex)
{
    if (mapIndex == GFactorMapIndex)
        return pairText("WL,WW", formatFixed(inGUnits(window.level), 2), formatFixed(inGUnits(window.width), 2));
    return pairText("WL,WW", std::to_string(window.level), std::to_string(window.width));
}

std::string positionText(int x, int y) { return pairText("X,Y", std::to_string(x), std::to_string(y)); }

std::string valueText(int mapIndex, double value)
{
    if (isSnrMap(mapIndex)) return "SNR = " + formatFixed(value, 2);
    if (mapIndex == GFactorMapIndex) return "g-factor = " + formatFixed(inGUnits(value), 3);
    return "信号強度 = " + formatFixed(value, 2);
}

std::optional<ScaleLabels> scaleLabelTexts(int mapIndex, double min, double step)
{
    if (!isScaleMap(mapIndex)) return std::nullopt;
    const int decimals = mapIndex == GFactorMapIndex ? 2 : 0;
    ScaleLabels labels;
    for (int n = 1; n <= ScaleLabelCount; ++n) {
        const checked::Extended value = static_cast<checked::Extended>(ScaleLabelCount - n) * step + min;
        labels[static_cast<std::size_t>(n - 1)] = formatFixed(static_cast<double>(value), decimals);
    }
    return labels;
}

}  // namespace quelby
