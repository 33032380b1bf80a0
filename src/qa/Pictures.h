#pragma once

#include "qa/RoiStatistics.h"

#include <string>
#include <vector>

namespace quelby {

// Readies Qt for drawing text; called on the main thread before pictures are
// made on others.
void preparePictures();

// A map in colour for a report: the map enlarged to at least 384 pixels, a
// colour bar with its values, the ROI outlined, and `caption` lines under it.
// PNG bytes; `low` and `high` bound the colour scale.
std::vector<char> mapPicture(const std::vector<double>& values, int width, int height, const Roi& roi, double low,
                             double high, const std::vector<std::string>& caption);

// The ROI mean signal of each repetition with its fitted line.
std::vector<char> driftPicture(const SeriesStatistics& statistics, const std::string& title);

}  // namespace quelby
