#pragma once

#include "qa/RoiStatistics.h"
#include "engine/io/SeriesSource.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelby {

// Bad usage of the command: the message names the option and says why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct MeasureCommand {
    bool help = false;
    bool version = false;
    std::string seriesA, seriesB;  // folders or 4-D NIfTI files; seriesB empty: no g-factor map
    std::optional<double> reduction;
    std::string outFolder = "quelby-out";
    RawLayout raw;
    StackChoice choice;
    bool each = false;    // every measurable stack, each into its own subfolder
    bool stored = false;  // stored values, not rescaled ones
    bool quiet = false;
    RoiRequest roi;
    Detrend detrend = Detrend::None;
    int pool = 1;
    bool stability = false;  // the time-series stability figures of each slice
    int stabilityRoi = 21;   // the side of their square ROI
    int skip = 0;            // frames left out of them at the start
    bool dicom = false;      // the maps also as DICOM objects
    std::string historyFile, limitsFile;
};

// Reads the arguments after the program's name. Throws UsageError.
MeasureCommand parseMeasureCommand(const std::vector<std::string>& args);

// A reduction factor: a positive number, or factors such as 2x2 that multiply.
double parseReduction(const std::string& text);

// WxH[:int16|uint16][:le|be].
RawLayout parseRawLayout(const std::string& text);

std::string measureUsage();

}  // namespace quelby
