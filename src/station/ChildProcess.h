#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quelby {

// A program run from an argument vector, never through a shell, its standard
// input /dev/null and its output and errors appended to files. It is sent
// SIGTERM when the station dies, however it dies, so nothing outlives it. The
// destructor kills and reaps a child still running.
class ChildProcess {
public:
    // Throws StationError when the program cannot be started.
    ChildProcess(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status once it has ended (128 + the signal for one killed), else nothing.
    std::optional<int> poll();
    // Waits up to `limit` for the end; the exit status, else nothing.
    std::optional<int> waitFor(std::chrono::milliseconds limit);
    void signal(int number) const;
    // SIGTERM, then SIGKILL after `grace`; the exit status.
    int stop(std::chrono::milliseconds grace);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace quelby
