#pragma once

#include "qa/RoiStatistics.h"
#include "engine/io/SeriesLoader.h"

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
    std::vector<std::string> pictures;
    const Roi* roi = nullptr;
    std::string roiKind;  // auto, circle or rect
    const SeriesStatistics* statisticsA = nullptr;
    const SeriesStatistics* statisticsB = nullptr;
    std::optional<GFactorSummary> g;
    std::string limitsFile;
    std::vector<std::string> violations;
};

// The run's figures by name, in the order of the report: those of SERIES_A
// ending in _a, of SERIES_B in _b, of g beginning with g_. They name the
// columns of report.csv and of a history, and the keys of a limits file.
std::vector<std::pair<std::string, double>> reportFigures(const MeasureReport& report);

std::string reportJson(const MeasureReport& report);

// One header line and one row, the same facts as the JSON.
std::string reportCsv(const MeasureReport& report);

// The shortest text that reads back as the same double.
std::string numberText(double value);

}  // namespace quelby
