#pragma once

#include "qa/StabilityFigures.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// One slice's stability in four panels: the ROI mean of each frame with its
// quadratic fit, the amplitude spectrum of the residuals (in Hz when the time
// between frames is known, else in cycles per frame), the Weisskoff plot
// (log–log, F(n) and 1/n through F(1)) and the SFNR map with the ROI. PNG bytes.
std::vector<char> stabilityPicture(const StabilityFigures& figures, std::span<const double> sfnr, int width, int height,
                                   std::optional<double> frameSeconds, const std::string& title);

}  // namespace quelby
