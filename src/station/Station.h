#pragma once

#include "station/Ledger.h"
#include "station/RestClient.h"
#include "station/RunPlan.h"
#include "station/StationCommand.h"
#include "station/StationLog.h"
#include "station/StudyRun.h"

#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace quelby {

// The QA station: Orthanc in the foreground, every stable study measured by
// the rules that fit it, one run at a time, until `stopping` says so. At the
// start every study Orthanc holds is looked at, since Orthanc forgets the
// studies it had not yet called stable when it stopped.
class Station {
public:
    Station(const StationCommand& command, std::function<bool()> stopping);
    // Returns the exit status. Throws StationError when it cannot start.
    int run();

private:
    void consider(const std::string& study);
    void considerLogged(const std::string& study);
    long long scanAll();
    long long follow(long long since);

    StationCommand command_;
    StationLog log_;
    std::vector<Rule> rules_;
    StudyRun::Setup setup_;
    std::deque<RunPlan> queue_;
    std::set<std::string> queued_;
    RestClient* rest_ = nullptr;
    Ledger* ledger_ = nullptr;
};

}  // namespace quelby
