#pragma once

#include "SeriesLoader.h"

#include <optional>
#include <string>
#include <vector>

namespace quelby {

// What a run of the command measured, for report.json and report.csv.
struct MeasureReport {
    std::vector<std::string> commandLine;
    const Series* seriesA = nullptr;
    const Series* seriesB = nullptr;  // none without SERIES_B
    std::optional<double> reduction;
    std::string reductionSource;  // "option" or "header"
    std::vector<std::string> warnings;
    std::vector<std::string> maps;
};

std::string reportJson(const MeasureReport& report);

// One header line and one row, the same facts as the JSON.
std::string reportCsv(const MeasureReport& report);

// The shortest text that reads back as the same double.
std::string numberText(double value);

}  // namespace quelby
