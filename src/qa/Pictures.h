#pragma once

#include "qa/ColourScale.h"
#include "qa/RoiStatistics.h"

#include <span>
#include <string>
#include <vector>

namespace quelby {

// Readies the drawing of pictures: the module that draws them loaded, and Qt
// ready to draw text (on the helper, when loadPicturesAhead began it). Called
// before pictures are made on two threads; throws InputError when the module
// cannot be loaded.
void preparePictures();

// One slice of a map (width × height, row by row) and its ROI.
struct PictureSlice {
    std::span<const double> values;
    const Roi* roi = nullptr;
};

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
