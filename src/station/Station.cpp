#include "station/Station.h"

#include "station/Credentials.h"
#include "station/OrthancConfiguration.h"
#include "station/OrthancProcess.h"
#include "station/ProgramLookup.h"
#include "station/StationError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace quelby {

namespace {

std::vector<Rule> stationRules(const StationCommand& command)
{
    if (!command.rulesFile.empty()) return readRules(command.rulesFile);
    const std::string beside = command.dir + "/rules.json";
    return std::filesystem::exists(beside) ? readRules(beside) : defaultRules();
}

// One station per folder: the lock goes with the process, however it ends.
int lockFolder(const std::string& dir)
{
    const std::string path = dir + "/station.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw StationError(path + ": cannot be opened (" + std::strerror(errno) + ")");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) throw StationError(dir + ": another station runs on this folder");
    return fd;
}

StationCommand withAbsoluteFolder(StationCommand command)
{
    std::filesystem::create_directories(command.dir + "/results");
    command.dir = std::filesystem::canonical(command.dir).string();
    return command;
}

}  // namespace

Station::Station(const StationCommand& command, std::function<bool()> stopping)
    : command_(withAbsoluteFolder(command)), log_(command_.dir)
{
    setup_.stopping = std::move(stopping);
}

int Station::run()
{
    const int lock = lockFolder(command_.dir);
    struct Unlock {
        int fd;
        ~Unlock() { ::close(fd); }
    } unlock{lock};
    rules_ = stationRules(command_);
    setup_ = {command_.dir, measureProgram(command_.measure), setup_.stopping};
    const Credentials credentials = stationCredentials(command_.dir);
    RestClient rest(command_.httpPort, credentials);
    Ledger ledger(command_.dir);
    rest_ = &rest;
    ledger_ = &ledger;
    OrthancProcess orthanc(command_.dir, writeOrthancConfiguration(command_, credentials));
    orthanc.start(rest);
    log_.line("listening as " + command_.aet + " on DICOM port " + std::to_string(command_.dicomPort) +
              ", REST on 127.0.0.1:" + std::to_string(command_.httpPort));
    StudyRun runs(setup_, rest, ledger, log_);
    long long since = scanAll();
    while (!setup_.stopping()) {
        if (!orthanc.running()) {
            log_.line("Orthanc ended; see " + command_.dir + "/orthanc.log");
            return 1;
        }
        try {
            since = follow(since);
            if (!queue_.empty()) {
                const RunPlan plan = queue_.front();
                queue_.pop_front();
                queued_.erase(plan.study + "/" + plan.rule->name);
                runs.run(plan);
            }
        } catch (const std::exception& e) {
            log_.line(e.what());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(queue_.empty() ? 500 : 0));
    }
    log_.line("stopping");
    orthanc.stop();
    return 0;
}

long long Station::scanAll()
{
    const long long last = rest_->getJson("/changes?last").value("Last", 0LL);
    for (const nlohmann::json& id : rest_->getJson("/studies"))
        if (id.is_string()) considerLogged(id.get<std::string>());
    return last;
}

long long Station::follow(long long since)
{
    for (;;) {
        const nlohmann::json changes = rest_->getJson("/changes?limit=100&since=" + std::to_string(since));
        for (const nlohmann::json& change : changes.value("Changes", nlohmann::json::array()))
            if (change.value("ChangeType", "") == "StableStudy") considerLogged(change.value("ID", ""));
        since = changes.value("Last", since);
        if (changes.value("Done", true)) return since;
    }
}

// A study that cannot be read (deleted meanwhile, say) does not hold up the others.
void Station::considerLogged(const std::string& id)
{
    try {
        consider(id);
    } catch (const std::exception& e) {
        log_.line("study " + id + ": " + e.what());
    }
}

void Station::consider(const std::string& id)
{
    if (id.empty() || id.find_first_not_of("0123456789abcdef-") != std::string::npos) return;
    const StudyInfo study = readStudy(*rest_, id);
    if (!study.stable) return;  // its StableStudy change comes later
    for (const Rule& rule : rules_) {
        const Ledger::State state = ledger_->state(id, rule.name);
        if (state == Ledger::State::Done || state == Ledger::State::Failed || queued_.contains(id + "/" + rule.name))
            continue;
        std::string why;
        std::optional<RunPlan> plan = planRun(study, rule, why);
        if (!plan) {
            if (!why.empty()) log_.line("rule " + rule.name + " skips study " + study.uid + ": " + why);
            continue;
        }
        queued_.insert(id + "/" + rule.name);
        queue_.push_back(std::move(*plan));
    }
}

}  // namespace quelby
