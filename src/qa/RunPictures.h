#pragma once

#include "qa/OutputFolder.h"
#include "qa/Report.h"

#include <vector>

namespace quelby {

// The pictures of a run: the SNR map and drift of each series and, with
// SERIES_B, the g map (`g` slice by slice). Each file's name is the picture's
// name in the report. Readies Qt for drawing; call it on the main thread.
std::vector<OutputFolder::File> runPictures(const MeasureReport& report, const std::vector<std::vector<double>>& g);

}  // namespace quelby
