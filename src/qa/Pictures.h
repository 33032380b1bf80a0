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

// Ticks in steps of 1, 2 or 5 × 10^k, at most about `intervals` of them, from
// the multiple of the step at or below `low` to the one at or above `high`.
std::vector<double> roundTicks(double low, double high, int intervals = 5);

// A colour scale running from its first tick to its last.
struct ColourScale {
    std::vector<double> ticks;
    double low() const { return ticks.front(); }
    double high() const { return ticks.back(); }
};

// From the 1st to the 99th percentile of the finite `values`, in round ticks,
// so that a few outliers do not squeeze the map into one colour.
ColourScale robustScale(std::vector<double> values);

struct MapPicture {
    std::string title;  // the map and its unit
    std::vector<PictureSlice> slices;
    int width = 0, height = 0;
    ColourScale scale;
    std::vector<std::string> caption;
    std::vector<std::vector<std::string>> table;  // under the caption; its first row the headings
};

// A map in colour for a report: its title, its slices in a grid, numbered,
// enlarged to at least 480 pixels together, a colour bar with its ticks, each
// ROI outlined, and the caption and table under it. PNG bytes.
std::vector<char> mapPicture(const MapPicture& picture);

// The same without title or table, the scale in round ticks over `low` to `high`.
std::vector<char> mapPicture(const std::vector<PictureSlice>& slices, int width, int height, double low, double high,
                             const std::vector<std::string>& caption);

// The ROI mean signal of each repetition as % of the series' mean, with its fitted line.
std::vector<char> driftPicture(const SeriesStatistics& statistics, const std::string& title);

}  // namespace quelby
