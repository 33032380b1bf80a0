#pragma once

#include <exception>
#include <functional>

namespace quelby {

// A task offered to the process's one helper thread, the only thread besides
// the caller that the program uses. The helper runs the task if it comes free
// before join(); otherwise join() runs it on the calling thread. Either way it
// runs exactly once, and join() carries out what it threw. No caller ever
// waits for the helper to come free, so offers made while it is busy, from
// inside a task it runs too, cannot deadlock: they run on their caller.
class HelperTask {
public:
    explicit HelperTask(std::function<void()> task);
    // Joins a task not joined yet; what it threw is dropped.
    ~HelperTask();
    HelperTask(const HelperTask&) = delete;
    HelperTask& operator=(const HelperTask&) = delete;

    // Returns once the task has run; rethrows what it threw.
    void join();

    // Runs the task, keeping what it threw; the helper's side.
    void run() noexcept;

private:
    std::function<void()> task_;
    std::exception_ptr failure_;
    bool offered_ = false;
    bool joined_ = false;
};

}  // namespace quelby
