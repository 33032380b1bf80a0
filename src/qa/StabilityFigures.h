#pragma once

#include "engine/series/StabilityMaps.h"

#include <nlohmann/json_fwd.hpp>

#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quelby {

// The stability figures of one slice in its N × N ROI about the phantom's
// centroid. A figure that cannot be formed (a zero mean or noise) is NaN.
struct StabilityFigures {
    int frames = 0, roiWidth = 0, centreX = 0, centreY = 0;
    double signal = 0;              // the ROI mean of the signal image
    double sfnr = 0;                // the ROI mean of the SFNR image
    double snr = 0;                 // signal / the static noise per frame
    double percentFluctuation = 0;  // 100 · residual SD of the ROI mean course / its mean
    double driftPercent = 0;        // 100 · (max − min of the course's fit) / its mean
    double rdc = 0;                 // F(1) / F(N)
    std::vector<double> weisskoff;  // F(n), the percent fluctuation of the n × n ROI, n = 1 … N
    std::vector<double> course, fit;  // the ROI mean of each frame and its quadratic fit
};

struct StabilityResult {
    StabilityMaps maps;
    std::vector<StabilityFigures> figures;  // one a slice, in position order
};

StabilityFigures stabilityFigures(const StabilityMaps& maps, std::size_t slice);

// The maps and figures of every slice over the frames from `skip` on. Throws InputError.
StabilityResult measureStability(const Stack& stack, const ImageSupplier& supply, bool applyRescale, int roiWidth,
                                 int skip);

// {frames, roi_width, centre: [x, y], signal, sfnr, snr, percent_fluctuation,
// drift_percent, rdc, weisskoff: [[n, F], …]}; null for a figure not formed.
nlohmann::json stabilityJson(const StabilityFigures& figures);

// sfnr, snr_static, percent_fluctuation, drift_stability and rdc, NaN where not formed: the
// columns are the same whatever the series, so a history keeps them.
std::vector<std::pair<std::string, double>> stabilityColumns(const StabilityFigures& figures);

}  // namespace quelby
