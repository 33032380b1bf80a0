#pragma once

#include "engine/kernel/PixelTeam.h"

#include <functional>
#include <span>
#include <vector>

namespace quelby {

// The team's jobs that read image buffers, so that the files are read on
// while the arithmetic lags behind by as many images as there are buffers:
// a buffer is read into again only once the jobs that read it are done.
class PixelBacklog {
public:
    using Job = PixelTeam::Job;

    explicit PixelBacklog(PixelTeam& team) : team_(team) {}
    PixelBacklog(const PixelBacklog&) = delete;
    PixelBacklog& operator=(const PixelBacklog&) = delete;

    // Queues a job that reads `bytes`, which must stay as they are until it is done.
    void add(Job job, std::span<const unsigned char> bytes = {});
    // Runs `step`, which must not throw, on the calling thread at the next
    // drain, once every job added before it is done.
    void afterwards(std::function<void()> step);
    // Returns once no job reads any of `bytes`.
    void release(std::span<const unsigned char> bytes);
    // Returns once every job, and every step after them, is done.
    void drain() noexcept;
    void run(Job job)
    {
        drain();
        add(std::move(job));
        drain();
    }

private:
    struct Reading {
        PixelTeam::Ticket job;
        std::span<const unsigned char> bytes;
    };

    PixelTeam& team_;
    std::vector<Reading> readings_;
    std::vector<std::function<void()>> steps_;
};

// Drains the backlog when a run leaves, by failure too: the images handed on
// before a failing file count in full, and so do the steps queued after them.
struct DrainedOnExit {
    PixelBacklog& backlog;
    ~DrainedOnExit() { backlog.drain(); }
};

}  // namespace quelby
