#pragma once

#include "engine/io/SeriesIdentity.h"
#include "engine/io/SeriesSource.h"
#include "qa/Limits.h"
#include "qa/RoiStatistics.h"
#include "qa/StabilityFigures.h"
#include "qa/StackFigures.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace quelby {

// One series as measured: what it was read from, its stack and its slices.
struct MeasuredSeries {
    const SeriesSource* source = nullptr;
    const Stack* stack = nullptr;
    const MeasuredStack* measured = nullptr;
    std::vector<GFactorSummary> g;  // per slice, SERIES_B's only
    SeriesIdentity identity;
    const StabilityResult* stability = nullptr;  // with --stability

    // The slice whose figures stand for the series: the centre one, ⌊S/2⌋.
    const SliceResult& centre() const { return measured->slices[measured->slices.size() / 2]; }
};

// What a run of the command measured, for report.json and report.csv.
struct MeasureReport {
    std::vector<std::string> commandLine;
    std::string runTime;  // when the run began, UTC, as 2026-12-09T04:10:00Z
    const MeasuredSeries* seriesA = nullptr;
    const MeasuredSeries* seriesB = nullptr;  // none without SERIES_B
    std::optional<double> reduction;
    std::string reductionSource;  // "option" or "header"
    std::vector<std::string> warnings;
    std::vector<std::string> maps;
    std::vector<std::string> pictures;
    nlohmann::json dicom;  // with --dicom: [{map, kind, series_uid, files}]
    std::string roiKind;  // auto, circle or rect
    std::optional<GFactorSummary> g;  // the centre slice's
    std::string limitsFile;
    std::vector<LimitCheck> limitChecks;  // every limit, passed or not
    std::vector<std::string> violations;
};

// The run's figures by name, in the order of the report, the centre slice's: those of SERIES_A
// ending in _a, of SERIES_B in _b, of g beginning with g_; every one of them for every run,
// NaN where not measured. They name the columns of report.csv and of a history, and the
// keys of a limits file.
std::vector<std::pair<std::string, double>> reportFigures(const MeasureReport& report);

std::string reportJson(const MeasureReport& report);

// One header line and one row, the same facts as the JSON.
std::string reportCsv(const MeasureReport& report);

// One stack of an --each run and the subfolder it went to.
struct StackOutput {
    std::string name, output;
    const Stack* stack = nullptr;
    int status = 0;  // the exit status of its measurement
};

// The top-level report of an --each run: each stack's keys and subfolder.
std::string stacksReportJson(const std::vector<std::string>& commandLine, const std::vector<StackOutput>& stacks,
                             const std::vector<std::string>& warnings);

// The shortest text that reads back as the same double.
std::string numberText(double value);

}  // namespace quelby
