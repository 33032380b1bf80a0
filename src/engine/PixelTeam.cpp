#include "PixelTeam.h"

#include <algorithm>
#include <system_error>

#include <immintrin.h>

namespace quelby {

// The chunk counters start exhausted: no job is open until one is posted.
// A helper that wakes late for a job finished without it finds every chunk
// taken; the chunk it takes of a later job it sees through the counter's
// reset, which comes after the job's posting.
// Where the system gives no thread, the caller takes every chunk itself.
PixelTeam::PixelTeam(std::size_t pixels, std::size_t chunk)
    : pixels_(pixels), chunk_(chunk), chunks_((pixels + chunk - 1) / chunk), next_(chunks_), done_(chunks_)
{
    try {
        helper_ = std::thread([this] { help(); });
    } catch (const std::system_error&) {
    }
}

PixelTeam::~PixelTeam()
{
    finish();
    stopping_.store(true);
    posted_.fetch_add(1, std::memory_order_release);
    posted_.notify_one();
    if (helper_.joinable()) helper_.join();
}

void PixelTeam::post(Job job)
{
    job_ = std::move(job);
    done_.store(0, std::memory_order_relaxed);
    next_.store(0, std::memory_order_release);
    posted_.fetch_add(1, std::memory_order_release);
    posted_.notify_one();
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

void PixelTeam::finish() noexcept
{
    work();
    awaitChange(done_, [&](std::size_t done) { return done >= chunks_; });
}

void PixelTeam::work() noexcept
{
    for (std::size_t k; (k = next_.fetch_add(1, std::memory_order_acq_rel)) < chunks_;) {
        job_(k * chunk_, std::min(pixels_, (k + 1) * chunk_));
        if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == chunks_) done_.notify_all();
    }
}

void PixelTeam::help()
{
    for (unsigned seen = 0;;) {
        awaitChange(posted_, [&](unsigned posted) { return posted != seen; });
        seen = posted_.load(std::memory_order_acquire);
        if (stopping_.load()) return;
        work();
    }
}

}  // namespace quelby
