#pragma once

#include "engine/core/Samples.h"
#include "engine/io/Stack.h"
#include "qa/RoiStatistics.h"

#include <array>
#include <optional>
#include <span>
#include <vector>

namespace quelby {

// The ROI figures of one slice, gathered image by image in the pass that
// knows the mean, so the series need not be held: per repetition the ROI sums
// of the deviations and of their squares and the moments of the smooth fit,
// per pixel the sum of squares and the linear trend's Σ (k − k̄) · deviation.
class RoiFigures {
public:
    // `storedMean`: the slice's mean image in stored values, width pixels a row.
    RoiFigures(const Roi& roi, std::span<const double> storedMean, int width, std::size_t repetitions, Detrend detrend);

    // The samples of the whole slice of repetitions first, first + 1, …
    void add(std::size_t first, std::span<const unsigned char* const> images, std::span<const SampleKind> kinds);

    // The figures once every repetition is added; `snr` the slice's SNR map,
    // `rescale` what the maps were turned into.
    SeriesStatistics statistics(std::span<const double> snr, const std::optional<Rescale>& rescale) const;

private:
    // A few rows' runs of the region, taken through every image of a batch
    // while their sums stay in the cache.
    struct Tile {
        std::size_t firstRun, lastRun;  // runs_[firstRun, lastRun)
        std::size_t from, to;           // region_[from, to)
        std::size_t firstFit, lastFit;  // fitAt_[firstFit, lastFit)
    };

    void makeTiles();
    void addTile(const Tile& tile, std::size_t k, const unsigned char* samples, SampleKind kind);
    void addFitMoments(const Tile& tile, std::size_t k);
    double smoothVariance() const;  // Σ over the repetitions of the ROI variance the fit leaves

    std::size_t n_;
    Detrend detrend_;
    // The pixels looked at: the ROI and the smooth fit's region, each row from
    // its first to its last pixel of either, so the samples are read in runs.
    std::vector<std::size_t> region_;
    struct Run {
        std::size_t pixel, length;  // the first pixel of a row's run, and its pixels
    };
    std::vector<Run> runs_;
    std::vector<Tile> tiles_;
    std::vector<char> inRoi_;
    std::vector<double> roiWeight_, mean_;
    std::vector<double> samples_;  // of the repetition being added, at the region's pixels of a tile
    std::vector<double> squares_, trend_;
    std::vector<double> e1_, e2_;  // per repetition: Σ e and Σ e² over the ROI
    // The smooth fit: its pixels (indices into the region), terms and weights.
    std::vector<std::size_t> fitAt_;
    std::array<std::vector<double>, 6> fitTerms_;
    std::vector<double> fitWeights_, fitRoiWeights_;
    std::array<std::array<double, 7>, 6> normal_{};
    std::array<std::array<double, 6>, 6> roiGram_{};
    // Per repetition: Σ t·e over the fit region (6), over the ROI (6), Σ e² over the sampled ROI.
    std::vector<std::array<double, 13>> moments_;
};

}  // namespace quelby
