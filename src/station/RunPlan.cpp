#include "station/RunPlan.h"

#include "station/PathPart.h"

namespace quelby {

namespace {

std::vector<SeriesInfo> matching(const StudyInfo& study, const Rule& rule, const std::string& pattern)
{
    std::vector<SeriesInfo> found;
    for (const SeriesInfo& s : study.series)
        if (matchesPattern(pattern, rule.match == Rule::Match::Protocol ? s.protocol : s.description)) found.push_back(s);
    return found;
}

}  // namespace

std::optional<RunPlan> planRun(const StudyInfo& study, const Rule& rule, std::string& why)
{
    RunPlan plan{&rule, study.id, matching(study, rule, rule.seriesA), {}, {}};
    why.clear();
    if (plan.seriesA.empty()) return std::nullopt;
    if (!rule.seriesB.empty()) {
        plan.seriesB = matching(study, rule, rule.seriesB);
        if (plan.seriesB.empty() && !rule.seriesBOptional) {
            why = "no series fits series_b " + rule.seriesB;
            return std::nullopt;
        }
    }
    plan.output = pathPart(plan.seriesA.front().station, "station") + "/" + pathPart(study.date, "undated") + "_" +
                  pathPart(rule.name, "rule") + "_" + pathPart(study.uid, "study");
    return plan;
}

}  // namespace quelby
