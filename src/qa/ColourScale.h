#pragma once

#include <vector>

namespace quelby {

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

}  // namespace quelby
