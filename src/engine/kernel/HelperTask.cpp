#include "engine/kernel/HelperTask.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace quelby {

namespace {

// The helper thread and the tasks offered to it. Made on the first offer and
// never destroyed: the thread sleeps until the process ends, so no exit path
// waits on it. A child forked from the process has no helper (the thread is not
// copied, and the lock may be held): its offers all run on their caller.
class Helper {
public:
    static Helper& ofProcess()
    {
        static Helper* helper = new Helper;
        return *helper;
    }

    // Queues the task; false where there is no helper thread.
    bool offer(HelperTask& task)
    {
        if (!running_ || ::getpid() != owner_) return false;
        {
            const std::lock_guard lock(mutex_);
            queue_.push_back(&task);
        }
        offered_.notify_one();
        return true;
    }

    // Takes the task back unless the helper took it, in which case it returns
    // once the helper is done with it. True when taken back.
    bool withdraw(HelperTask& task)
    {
        std::unique_lock lock(mutex_);
        for (auto it = queue_.begin(); it != queue_.end(); ++it)
            if (*it == &task) {
                queue_.erase(it);
                return true;
            }
        done_.wait(lock, [&] { return running_task_ != &task; });
        return false;
    }

private:
    Helper() : owner_(::getpid())
    {
        try {
            std::thread([this] { serve(); }).detach();
            running_ = true;
        } catch (const std::system_error&) {
        }
    }

    [[noreturn]] void serve()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            offered_.wait(lock, [&] { return !queue_.empty(); });
            HelperTask* task = running_task_ = queue_.front();
            queue_.pop_front();
            lock.unlock();
            task->run();
            lock.lock();
            running_task_ = nullptr;
            done_.notify_all();
        }
    }

    const pid_t owner_;
    bool running_ = false;
    std::mutex mutex_;
    std::condition_variable offered_, done_;
    std::deque<HelperTask*> queue_;
    HelperTask* running_task_ = nullptr;
};

}  // namespace

HelperTask::HelperTask(std::function<void()> task) : task_(std::move(task))
{
    offered_ = Helper::ofProcess().offer(*this);
}

HelperTask::~HelperTask()
{
    if (joined_) return;
    try {
        join();
    } catch (...) {
    }
}

void HelperTask::join()
{
    if (!joined_) {
        joined_ = true;
        if (!offered_ || Helper::ofProcess().withdraw(*this)) run();
    }
    if (failure_) std::rethrow_exception(failure_);
}

void HelperTask::run() noexcept
{
    try {
        task_();
    } catch (...) {
        failure_ = std::current_exception();
    }
}

}  // namespace quelby
