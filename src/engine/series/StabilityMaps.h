#pragma once

#include "engine/series/StackMeasurement.h"

#include <optional>
#include <span>
#include <vector>

namespace quelby {

// One slice of a time series of a phantom, frames t = 0 … T − 1 after those
// skipped. Maps row by row, in real-world values when rescaled.
struct StabilitySlice {
    std::vector<double> signal;       // the mean over the frames
    std::vector<double> fluctuation;  // √(squared residuals of the pixel's quadratic fit in t / (T − 3))
    std::vector<double> sfnr;         // signal / fluctuation, 0 where the fluctuation is 0
    std::vector<double> staticNoise;  // the even frames' sum minus the odd frames', over T − T mod 2 frames
    int centreX = 0, centreY = 0;     // the phantom's centroid
    // squareMeans[t · roiWidth + n − 1]: frame t's mean over the n × n square
    // about the centre, whose first column and row are centre − n / 2.
    std::vector<double> squareMeans;
};

struct StabilityMaps {
    int width = 0, height = 0;
    int frames = 0;    // T
    int roiWidth = 0;  // N
    std::optional<Rescale> rescale;  // applied
    std::vector<StabilitySlice> slices;  // in position order
};

// The column and row of the centroid of the pixels above half the 99th
// percentile (linear between order statistics) of `signal`, rounded half up;
// the matrix centre when there are none.
std::pair<int, int> phantomCentroid(std::span<const double> signal, int width, int height);

// The maps of every slice over the frames from `skip` on, and the means of
// the nested squares of 1 … roiWidth pixels a side about each slice's
// centroid. One pass over the images, repetition after repetition; a second
// only for a slice whose centroid left the squares kept from the first frames.
// Throws InputError for fewer than 4 frames or a square that does not fit.
StabilityMaps measureStabilityMaps(const Stack& stack, const ImageSupplier& supply, bool applyRescale, int roiWidth,
                                   int skip);

}  // namespace quelby
