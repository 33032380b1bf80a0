#include "engine/kernel/PixelTeam.h"

#include <algorithm>

#include <immintrin.h>

namespace quelby {

PixelTeam::PixelTeam(std::size_t pixels, std::size_t chunk)
    : pixels_(pixels), chunk_(chunk), chunks_((pixels + chunk - 1) / chunk),
      chunkDone_(std::make_unique<std::atomic<Ticket>[]>(chunks_))
{
}

PixelTeam::~PixelTeam()
{
    finish();
    stopping_.store(true);
    wakes_.fetch_add(1, std::memory_order_release);
    wakes_.notify_one();
    // A helper that never came runs help() here, which sees the stop at once.
    helper_.join();
}

PixelTeam::Ticket PixelTeam::post(Job job)
{
    const Ticket ticket = posted_.load(std::memory_order_relaxed);
    if (ticket >= Slots) finish(ticket - Slots);
    jobs_[ticket % Slots] = std::move(job);
    left_[ticket % Slots].store(chunks_, std::memory_order_relaxed);
    posted_.store(ticket + 1, std::memory_order_release);
    wakes_.fetch_add(1, std::memory_order_release);
    wakes_.notify_one();
    return ticket;
}

namespace {

// Waits are short (a chunk, or the reading of a batch): spin a little before
// sleeping, since waking a sleeper costs more than the wait.
template <class T, class Ready>
void awaitChange(const std::atomic<T>& value, Ready&& ready)
{
    for (int spin = 0; spin < 20000; ++spin) {
        if (ready(value.load(std::memory_order_acquire))) return;
        _mm_pause();
    }
    for (T seen; !ready(seen = value.load(std::memory_order_acquire));) value.wait(seen);
}

}  // namespace

void PixelTeam::finish(Ticket job) noexcept
{
    while (completed_.load(std::memory_order_acquire) <= job)
        if (!takeTask(job + 1)) awaitChange(completed_, [&](Ticket completed) { return completed > job; });
}

void PixelTeam::finish() noexcept
{
    const Ticket posted = posted_.load(std::memory_order_relaxed);
    if (posted > 0) finish(posted - 1);
}

// Runs one chunk of a job posted before `before`, if one is left. A job's
// chunk waits for the job before it on that chunk; its last chunk marks the
// job completed before it lets the next job's chunk go, so jobs complete in
// order.
bool PixelTeam::takeTask(Ticket before) noexcept
{
    const Ticket limit = std::min(before, posted_.load(std::memory_order_acquire)) * chunks_;
    Ticket task = taken_.load(std::memory_order_relaxed);
    do {
        if (task >= limit) return false;
    } while (!taken_.compare_exchange_weak(task, task + 1, std::memory_order_acq_rel));
    const Ticket job = task / chunks_;
    const std::size_t chunk = task % chunks_;
    awaitChange(chunkDone_[chunk], [&](Ticket done) { return done >= job; });
    jobs_[job % Slots](chunk * chunk_, std::min(pixels_, (chunk + 1) * chunk_));
    if (left_[job % Slots].fetch_sub(1, std::memory_order_acq_rel) == 1) {
        completed_.store(job + 1, std::memory_order_release);
        completed_.notify_all();
    }
    chunkDone_[chunk].store(job + 1, std::memory_order_release);
    chunkDone_[chunk].notify_all();
    return true;
}

void PixelTeam::help()
{
    while (!stopping_.load(std::memory_order_acquire)) {
        const std::uint32_t wakes = wakes_.load(std::memory_order_acquire);
        if (!takeTask(posted_.load(std::memory_order_acquire)))
            awaitChange(wakes_, [&](std::uint32_t now) { return now != wakes; });
    }
}

}  // namespace quelby
