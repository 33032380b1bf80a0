#pragma once

#include "engine/io/Stack.h"
#include "qa/RoiStatistics.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quelby {

struct SnrMethod {
    double snr = 0;
    double percentVsMultiple = 0;  // 100 · (snr − multiple) / multiple
};

// The ROI SNR of a slice by the usual single- and two-image methods beside the
// one from all repetitions, so that a site can compare with figures taken so.
struct SnrMethods {
    SnrMethod multiple;    // from all repetitions, the reference
    SnrMethod difference;  // mean of (I1 + I2) / 2 over SD(I1 − I2) / √2
    // From the background of image 1, a magnitude image's Rayleigh noise: none
    // where the background cannot give it, and `warnings` say why.
    std::optional<SnrMethod> backgroundSd, backgroundMean;
    std::vector<std::string> warnings;
};

// The background: the four corner squares of ⌊columns/8⌋ × ⌊rows/8⌋ pixels
// that come within 2 pixels of no phantom pixel (of no ROI pixel when no
// phantom was found). `first` and `second` are the slice's first two
// repetitions in stored values, columns × rows, row by row; `rescale` turns
// them into the values measured. `multiple` is the slice's ROI SNR.
SnrMethods snrMethods(std::span<const double> first, std::span<const double> second, int columns, const Roi& roi,
                      const std::optional<Rescale>& rescale, double multiple);

// {multiple, difference, background_sd, background_mean}, each {snr,
// percent_vs_multiple} or null.
nlohmann::json methodsJson(const SnrMethods& methods);

}  // namespace quelby
