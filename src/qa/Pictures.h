#pragma once

#include "qa/RoiStatistics.h"

#include <span>
#include <string>
#include <vector>

namespace quelby {

// Readies Qt for drawing text; called on the main thread before pictures are
// made on others.
void preparePictures();

// One slice of a map (width × height, row by row) and its ROI.
struct PictureSlice {
    std::span<const double> values;
    const Roi* roi = nullptr;
};

// A map in colour for a report: its slices in a grid, numbered, enlarged to at
// least 384 pixels together, a colour bar with its values, each ROI outlined,
// and `caption` lines under it. PNG bytes; `low` and `high` bound the colour scale.
std::vector<char> mapPicture(const std::vector<PictureSlice>& slices, int width, int height, double low, double high,
                             const std::vector<std::string>& caption);

// The ROI mean signal of each repetition with its fitted line.
std::vector<char> driftPicture(const SeriesStatistics& statistics, const std::string& title);

}  // namespace quelby
