#include "station/OrthancProcess.h"

#include "station/StationError.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace quelby {

namespace {

constexpr const char* OrthancProgram = "/usr/sbin/Orthanc";

std::string commandLineOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), {}};
}

bool alive(pid_t pid)
{
    return ::kill(pid, 0) == 0;
}

}  // namespace

OrthancProcess::OrthancProcess(std::string dir, std::string configuration)
    : dir_(std::move(dir)), configuration_(std::move(configuration))
{
}

OrthancProcess::~OrthancProcess()
{
    stop();
}

// Only a process whose command line names this DIR's configuration is ended.
void OrthancProcess::endStale() const
{
    std::ifstream in(dir_ + "/orthanc.pid");
    pid_t pid = 0;
    if (!(in >> pid) || pid <= 1) return;
    if (commandLineOf(pid).find(configuration_) == std::string::npos) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200 && alive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (alive(pid) && commandLineOf(pid).find(configuration_) != std::string::npos) ::kill(pid, SIGKILL);
    for (int i = 0; i < 50 && alive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void OrthancProcess::start(RestClient& rest)
{
    endStale();
    const std::string log = dir_ + "/orthanc.log";
    child_ = std::make_unique<ChildProcess>(std::vector<std::string>{OrthancProgram, configuration_}, log, log);
    std::ofstream(dir_ + "/orthanc.pid") << child_->pid() << "\n";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        if (child_->poll())
            throw StationError("Orthanc ended at its start with status " + std::to_string(*child_->poll()) +
                               "; see " + log);
        if (rest.get("/system").status == 200) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    throw StationError("Orthanc did not answer within 60 s; see " + log);
}

bool OrthancProcess::running()
{
    return child_ && !child_->poll();
}

void OrthancProcess::stop()
{
    if (!child_) return;
    child_->stop(std::chrono::seconds(20));
    child_.reset();
    ::unlink((dir_ + "/orthanc.pid").c_str());
}

}  // namespace quelby
