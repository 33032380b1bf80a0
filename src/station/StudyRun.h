#pragma once

#include "station/Ledger.h"
#include "station/RestClient.h"
#include "station/RunPlan.h"
#include "station/StationLog.h"

#include <functional>
#include <string>

namespace quelby {

// One planned run carried through its steps, each recorded in the ledger
// before the next: the series exported into DIR/work, quelby-measure, the
// DICOM results stored back, the row merged into DIR/history.csv, the trend
// rebuilt. A run interrupted before it was recorded as measured is run again
// from the start; one recorded as measured is only finished.
class StudyRun {
public:
    struct Setup {
        std::string dir, measure;
        std::function<bool()> stopping;
    };

    StudyRun(const Setup& setup, RestClient& rest, Ledger& ledger, const StationLog& log);

    // Throws StationError (or InputError from the history) for a step that
    // could not be taken; the ledger then holds the last step taken.
    void run(const RunPlan& plan);

private:
    bool measure(const RunPlan& plan, const std::string& output);
    void fail(const RunPlan& plan, const std::string& output, const std::string& message);
    void finish(const RunPlan& plan, const std::string& output);
    void rebuildTrend();

    const Setup& setup_;
    RestClient& rest_;
    Ledger& ledger_;
    const StationLog& log_;
};

}  // namespace quelby
