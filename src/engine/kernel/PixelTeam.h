#pragma once

#include "engine/kernel/HelperTask.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace quelby {

// Work over the pixels of a map, shared between the calling thread and the
// process's helper thread, which the team holds while it lives (where the
// helper is busy with another task, the caller takes every chunk). post() queues a job and
// returns at once, so that the caller may read the next files meanwhile; the
// helper takes the jobs chunk by chunk, each chunk in the order the jobs were
// posted. finish() takes part in what is left and returns once the job is
// done, and every job before it. Only one thread posts and finishes; a job
// must not throw.
class PixelTeam {
public:
    using Job = std::function<void(std::size_t from, std::size_t to)>;
    using Ticket = std::uint64_t;

    // Chunks of `chunk` pixels of a map of `pixels`.
    PixelTeam(std::size_t pixels, std::size_t chunk);
    ~PixelTeam();
    PixelTeam(const PixelTeam&) = delete;
    PixelTeam& operator=(const PixelTeam&) = delete;

    Ticket post(Job job);
    void finish(Ticket job) noexcept;
    void finish() noexcept;
    void run(Job job) { finish(post(std::move(job))); }

private:
    // Jobs queued at most; one more waits for the oldest.
    static constexpr std::size_t Slots = 32;

    bool takeTask(Ticket before) noexcept;
    void help();

    const std::size_t pixels_, chunk_, chunks_;
    std::array<Job, Slots> jobs_;
    std::array<std::atomic<std::size_t>, Slots> left_{};         // chunks of each queued job not done
    std::unique_ptr<std::atomic<Ticket>[]> chunkDone_;           // jobs done on each chunk
    std::atomic<Ticket> posted_ = 0, completed_ = 0, taken_ = 0;  // jobs; jobs in order; tasks (job · chunks + chunk)
    std::atomic<std::uint32_t> wakes_ = 0;  // posts and the stop, for the helper to wait on
    std::atomic<bool> stopping_ = false;
    HelperTask helper_{[this] { help(); }};  // last: it may start at once
};

}  // namespace quelby
