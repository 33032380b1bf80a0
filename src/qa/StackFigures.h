#pragma once

#include "engine/series/StackMeasurement.h"
#include "qa/RoiStatistics.h"
#include "qa/SnrMethods.h"

#include <span>
#include <vector>

namespace quelby {

// One slice measured: its maps, its ROI and the figures in it.
struct SliceResult {
    SliceMaps maps;
    Roi roi;
    SeriesStatistics statistics;
    std::optional<SnrMethods> methods;  // from the first two repetitions; none with fewer
};

struct MeasuredStack {
    int width = 0, height = 0;
    std::optional<Rescale> rescale;  // applied to the maps and figures
    std::vector<SliceResult> slices;  // in position order
};

// One map of a stack, slice by slice.
using SliceValues = std::vector<std::span<const double>>;

SliceValues mapOf(const MeasuredStack& m, std::vector<double> SliceMaps::*map);
SliceValues mapOf(const std::vector<std::vector<double>>& slices);

// Measures a stack with the figures of each slice: in rois[s] where given
// (SERIES_B in the ROIs of SERIES_A), else in the ROI `request` makes on the
// slice's own mean image. Throws InputError.
MeasuredStack measureStackFigures(const Stack& stack, const ImageSupplier& supply, bool applyRescale,
                                  const RoiRequest& request, const std::vector<const Roi*>& rois, Detrend detrend);

}  // namespace quelby
