#pragma once

#include "qa/CsvTable.h"
#include "qa/Limits.h"

#include <compare>
#include <optional>
#include <string>
#include <vector>

namespace quelby {

// The runs that can be compared: one scanner, one coil, one protocol.
struct TrendKey {
    std::string station, serial, coil, protocol;
    auto operator<=>(const TrendKey&) const = default;
};

// One run's value of a figure and why it stands out: "3sd" beyond the baseline
// mean ± 3 SD, "2of3" completing two of three consecutive runs beyond 2 SD on
// one side, "limit" outside the limits file.
struct TrendPoint {
    std::size_t run = 0;  // its index among the group's runs, in acquisition order
    std::string acquired;
    double value = 0;
    std::vector<std::string> flags;
};

// The first runs of a figure, against which the later ones are judged.
struct TrendBaseline {
    std::size_t runs = 0;
    double mean = 0;
    std::optional<double> sd;  // divisor runs − 1; none of one run
};

struct TrendFigure {
    std::string name;
    TrendBaseline baseline;
    bool judged = false;  // whether any run follows a whole baseline, so the SD flags apply
    std::optional<Limit> limit;
    std::vector<TrendPoint> points;
};

struct TrendGroup {
    TrendKey key;
    std::vector<std::string> runs;  // each run's acquisition time, in order
    std::vector<TrendFigure> figures;
};

struct Trend {
    std::size_t baselineRuns = 0;
    std::vector<TrendGroup> groups;
};

// The figures charted when a history holds them, besides any with a limit.
const std::vector<std::string>& trendFigures();

// The history's runs grouped by key, each group in acquisition order (a_acquired,
// or run_time where it is empty), each figure judged against its first
// `baselineRuns` values. Throws InputError naming the line of a value that is
// not a number.
Trend analyseTrend(const CsvTable& history, const std::string& source, std::size_t baselineRuns,
                   const std::vector<Limit>& limits);

// An acquisition time for people: a DICOM DT as 2026-12-09 04:10:00 (its offset
// kept), run_time's ISO text as 2026-12-09 04:10:00 UTC; other text as it is.
std::string acquisitionText(const std::string& time);

// The figures whose latest point is the group's latest run and is flagged.
std::vector<const TrendFigure*> latestFlagged(const TrendGroup& group);

}  // namespace quelby
