#include "station/StudyRun.h"

#include "station/ChildProcess.h"
#include "station/HistoryMerge.h"
#include "station/PathPart.h"
#include "station/ResultStore.h"
#include "station/SeriesExport.h"
#include "station/StationError.h"

#include <filesystem>
#include <fstream>

namespace quelby {

namespace {

constexpr const char* RunHistory = "run-history.csv";

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> measureArguments(const std::string& program, const RunPlan& plan, const std::string& output,
                                          const std::string& work)
{
    std::vector<std::string> argv = {program, "--dicom", "--history", output + "/" + RunHistory};
    if (!plan.rule->limits.empty()) argv.insert(argv.end(), {"--limits", plan.rule->limits});
    argv.insert(argv.end(), plan.rule->args.begin(), plan.rule->args.end());
    argv.insert(argv.end(), {"-o", output, work + "/A"});
    if (!plan.seriesB.empty()) argv.push_back(work + "/B");
    return argv;
}

// The run's work folder, removed however the run ends.
struct WorkFolder {
    std::string path;
    ~WorkFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

StudyRun::StudyRun(const Setup& setup, RestClient& rest, Ledger& ledger, const StationLog& log)
    : setup_(setup), rest_(rest), ledger_(ledger), log_(log)
{
}

void StudyRun::run(const RunPlan& plan)
{
    const std::string output = setup_.dir + "/results/" + plan.output;
    const Ledger::State state = ledger_.state(plan.study, plan.rule->name);
    if (state == Ledger::State::Done || state == Ledger::State::Failed) return;
    if (state == Ledger::State::None) {
        if (!measure(plan, output)) return;
        ledger_.record(plan.study, plan.rule->name, Ledger::State::Measured, plan.output);
    }
    finish(plan, output);
}

bool StudyRun::measure(const RunPlan& plan, const std::string& output)
{
    const WorkFolder work{setup_.dir + "/work/" + pathPart(plan.study, "study") + "_" + pathPart(plan.rule->name, "rule")};
    exportSeries(rest_, plan.seriesA, work.path + "/A");
    if (!plan.seriesB.empty()) exportSeries(rest_, plan.seriesB, work.path + "/B");
    std::filesystem::create_directories(output);
    // What an interrupted attempt left would add a second row.
    std::filesystem::remove(output + "/" + RunHistory);
    std::filesystem::remove(output + "/error.txt");
    log_.line("measuring " + plan.output);
    // Its warnings are kept beside the results.
    const std::string messages = output + "/measure.log";
    std::filesystem::remove(messages);
    ChildProcess child(measureArguments(setup_.measure, plan, output, work.path), work.path + "/stdout.txt", messages);
    while (!child.waitFor(std::chrono::milliseconds(200)))
        if (setup_.stopping()) {
            child.stop(std::chrono::seconds(10));
            log_.line("stopped while measuring " + plan.output + "; it is measured again at the next start");
            return false;
        }
    const int status = *child.poll();
    if (status == 0 || status == 1) return true;
    const std::string message = fileText(messages);
    fail(plan, output, message.empty() ? "quelby-measure ended with status " + std::to_string(status) + "\n" : message);
    return false;
}

void StudyRun::fail(const RunPlan& plan, const std::string& output, const std::string& message)
{
    std::ofstream(output + "/error.txt") << message;
    ledger_.record(plan.study, plan.rule->name, Ledger::State::Failed, plan.output);
    log_.line("failed " + plan.output + ": " + message.substr(0, message.find('\n')));
}

void StudyRun::finish(const RunPlan& plan, const std::string& output)
{
    const int stored = storeResults(rest_, output);
    mergeHistoryRow(output + "/" + RunHistory, setup_.dir + "/history.csv");
    ledger_.record(plan.study, plan.rule->name, Ledger::State::Done, plan.output);
    log_.line("measured " + plan.output + " (" + std::to_string(stored) + " DICOM results stored back)");
    rebuildTrend();
}

void StudyRun::rebuildTrend()
{
    const std::string log = setup_.dir + "/trend.log";
    std::filesystem::remove(log);
    ChildProcess trend({setup_.measure, "trend", setup_.dir + "/history.csv", "-o", setup_.dir + "/trend"}, log, log);
    while (!trend.waitFor(std::chrono::milliseconds(200)))
        if (setup_.stopping()) return;  // the next run rebuilds it
    // 1 is a rebuilt trend whose latest run is flagged.
    if (const int status = *trend.poll(); status != 0 && status != 1)
        log_.line("the trend could not be rebuilt; see " + log);
    else if (status == 1)
        log_.line("the trend flags the latest run of a scanner; see " + setup_.dir + "/trend/trend.html");
}

}  // namespace quelby
