#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>

namespace quelby {

// Work over the pixels of a map, shared between the calling thread and one
// helper thread that lives as long as the team. post() hands a job on and
// returns at once, so that the caller may read the next files meanwhile;
// finish() takes part in what is left of it and returns once all of it is
// done. One job at a time; a job must not throw.
class PixelTeam {
public:
    using Job = std::function<void(std::size_t from, std::size_t to)>;

    // Chunks of `chunk` pixels of a map of `pixels`.
    PixelTeam(std::size_t pixels, std::size_t chunk);
    ~PixelTeam();
    PixelTeam(const PixelTeam&) = delete;
    PixelTeam& operator=(const PixelTeam&) = delete;

    void post(Job job);
    void finish() noexcept;
    void run(Job job)
    {
        post(std::move(job));
        finish();
    }

private:
    void work() noexcept;
    void help();

    const std::size_t pixels_, chunk_, chunks_;
    Job job_;
    std::atomic<std::size_t> next_, done_;
    std::atomic<unsigned> posted_ = 0;
    std::atomic<bool> stopping_ = false;
    std::thread helper_;
};

// Finishes the team's job when a pass leaves, by failure too: the images
// handed on before a failing file count in full.
struct FinishedOnExit {
    PixelTeam& team;
    ~FinishedOnExit() { team.finish(); }
};

}  // namespace quelby
