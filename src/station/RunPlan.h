#pragma once

#include "station/Rules.h"
#include "station/StudyInfo.h"

#include <optional>
#include <string>
#include <vector>

namespace quelby {

// One rule's run on one study: the series that go into A and B and the
// results folder, relative to DIR/results: <station>/<date>_<rule>_<study>,
// every part cleaned of what a tag could smuggle into a path.
struct RunPlan {
    const Rule* rule = nullptr;
    std::string study;
    std::vector<SeriesInfo> seriesA, seriesB;
    std::string output;
};

// The run of `rule` on `study`, or nothing: when no series fits series_a (a
// study the rule leaves alone, `why` empty), or none fits series_b and it is
// not optional (`why` says so).
std::optional<RunPlan> planRun(const StudyInfo& study, const Rule& rule, std::string& why);

}  // namespace quelby
