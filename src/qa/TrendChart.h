#pragma once

#include "qa/TrendAnalysis.h"

#include <string>

namespace quelby {

// A control chart of one figure as inline SVG: its values in acquisition order,
// the baseline mean and its ±2 and ±3 SD bands, the limit lines, flagged runs
// marked, and each run's time and value on hover.
std::string controlChartSvg(const TrendFigure& figure, std::size_t runs);

}  // namespace quelby
