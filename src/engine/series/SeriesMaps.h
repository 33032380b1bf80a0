#pragma once

#include "engine/io/SeriesLoader.h"

#include <vector>

namespace quelby {

// The maps of one series, of its own matrix, row by row: by the window's
// expressions, so that a 256 × 256 series gives the window's maps bit for bit.
struct SeriesMaps {
    int width = 0;
    int height = 0;
    std::vector<double> signal, noise, snr;
};

// The mean, the standard deviation (divisor N − 1) and their ratio, 0 where the
// noise is 0. The rows are shared between two threads.
SeriesMaps measureSeries(const Series& series);

// g = SNR_A / (√R · SNR_B), 0 where SNR_B is 0.
std::vector<double> gFactorMap(const SeriesMaps& a, const SeriesMaps& b, double reduction);

}  // namespace quelby
