#include "station/ChildProcess.h"

#include "station/StationError.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quelby {

namespace {

// Between fork and exec only async-signal-safe calls: everything is prepared before.
[[noreturn]] void becomeChild(char* const* argv, const char* outPath, const char* errPath, pid_t parent)
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);  // the station died before the death signal was set
    ::setpgid(0, 0);  // a terminal's Ctrl-C reaches the station, which stops its children in order
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(outPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int err = ::open(errPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv);
    ::_exit(127);
}

int exitStatus(int raw)
{
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath)
{
    if (argv.empty() || ::access(argv[0].c_str(), X_OK) != 0)
        throw StationError((argv.empty() ? std::string("(none)") : argv[0]) + ": not a program that can be run");
    std::vector<char*> pointers;
    for (const std::string& a : argv) pointers.push_back(const_cast<char*>(a.c_str()));
    pointers.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw StationError(argv[0] + ": cannot be started (" + std::strerror(errno) + ")");
    if (pid_ == 0) becomeChild(pointers.data(), outPath.c_str(), errPath.c_str(), parent);
}

ChildProcess::~ChildProcess()
{
    if (!status_) stop(std::chrono::seconds(10));
}

std::optional<int> ChildProcess::poll()
{
    if (status_) return status_;
    int raw = 0;
    pid_t got;
    do got = ::waitpid(pid_, &raw, WNOHANG);
    while (got < 0 && errno == EINTR);
    if (got == pid_) status_ = exitStatus(raw);
    else if (got < 0) status_ = 127;  // reaped elsewhere; nothing is left to wait for
    return status_;
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!poll() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return status_;
}

void ChildProcess::signal(int number) const
{
    if (!status_) ::kill(pid_, number);
}

int ChildProcess::stop(std::chrono::milliseconds grace)
{
    signal(SIGTERM);
    if (waitFor(grace)) return *status_;
    signal(SIGKILL);
    return *waitFor(std::chrono::hours(1));
}

}  // namespace quelby
