#pragma once

#include "qa/TrendAnalysis.h"

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace quelby {

// trend.json: {baseline_runs, groups: [{key, figures: {NAME: {baseline, points}}}]}.
nlohmann::json trendJson(const Trend& trend);

// trend.html: a table of each group's latest run and its flags, then a control
// chart per group and figure. Self-contained; every text from the history escaped.
std::string trendHtml(const Trend& trend, const std::string& historyName);

}  // namespace quelby
