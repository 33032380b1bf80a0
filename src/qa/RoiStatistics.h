#pragma once

#include <array>
#include <span>
#include <optional>
#include <string>
#include <vector>

namespace quelby {

// Where the figures are taken: found in the mean image, a circle or a rectangle
// in pixels (column X, row Y from the top left, as the window reads them out).
struct RoiRequest {
    enum class Kind { Auto, Circle, Rect } kind = Kind::Auto;
    double x = 0, y = 0, radius = 0;
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// --roi auto | circle:X,Y,R | rect:X0,Y0,X1,Y1. Throws UsageError.
RoiRequest parseRoi(const std::string& text);

struct Roi {
    std::vector<char> inside;   // one per pixel, row by row
    std::vector<char> phantom;  // the phantom found in the mean image (empty when none was)
    double centreX = 0, centreY = 0, radius = 0;  // of the disc, or of the circle given
    std::size_t pixels = 0;
    std::size_t phantomPixels = 0;
};

// The ROI on a signal map of SERIES_A (width × height, row by row). The auto ROI is the centred disc of
// 75 % of the area of the phantom: the largest connected region above half the
// 99th percentile of the mean image. Throws InputError for an ROI outside the
// matrix or a phantom that cannot be found.
Roi makeRoi(const RoiRequest& request, std::span<const double> signal, int width, int height);

// The middle value, or the mean of the two middle ones; 0 for none.
double median(std::vector<double> values);

enum class Detrend { None, Smooth, Linear };

struct SeriesStatistics {
    std::size_t pixels = 0;
    double meanSignal = 0;
    double noise = 0;  // √(mean over the ROI of the per-pixel variance)
    double snr = 0;
    std::optional<std::array<double, 2>> snrCi95;  // none below 3 repetitions
    double snrPixelMean = 0, snrPixelMedian = 0;
    std::vector<double> roiMeans;  // the ROI mean signal of each repetition
    double driftPercentPerRepetition = 0, driftPercentTotal = 0;
    double drift[2] = {0, 0};  // the fitted line: intercept and slope per repetition
    std::optional<double> snrDetrended;
    // The SNR with signal shifts between repetitions removed, smoothly over the
    // phantom or per pixel as a line over the repetitions (none below 3 repetitions).
    double snrSmooth = 0;
    std::optional<double> snrLinear;
};

// What to tell a user who did not ask for a detrend when the signal shifted
// between repetitions enough to inflate the noise by more than 2 %; empty otherwise.
std::string shiftWarning(const SeriesStatistics& statistics);

struct GFactorSummary {
    double mean = 0, median = 0, p95 = 0, max = 0;
    double maskedFraction = 0;  // of the ROI, where SNR_A is below 5
    std::size_t values = 0;
};

// g in the ROI where SNR_A ≥ 5, averaged over pool × pool blocks first when pool > 1.
GFactorSummary gFactorSummary(std::span<const double> g, std::span<const double> snrA, int width, const Roi& roi,
                              int pool);

}  // namespace quelby
