#include "engine/kernel/PixelBacklog.h"

#include <algorithm>

namespace quelby {

void PixelBacklog::add(Job job, std::span<const unsigned char> bytes)
{
    const PixelTeam::Ticket ticket = team_.post(std::move(job));
    if (!bytes.empty()) readings_.push_back({ticket, bytes});
}

void PixelBacklog::afterwards(std::function<void()> step) { steps_.push_back(std::move(step)); }

// Jobs complete in order: the last one reading the bytes is the one to wait for.
void PixelBacklog::release(std::span<const unsigned char> bytes)
{
    const auto overlaps = [&](const Reading& reading) {
        return reading.bytes.data() < bytes.data() + bytes.size() &&
               bytes.data() < reading.bytes.data() + reading.bytes.size();
    };
    const auto last = std::find_if(readings_.rbegin(), readings_.rend(), overlaps);
    if (last == readings_.rend()) return;
    team_.finish(last->job);
    readings_.erase(readings_.begin(), last.base());
}

void PixelBacklog::drain() noexcept
{
    team_.finish();
    readings_.clear();
    const std::vector<std::function<void()>> steps = std::move(steps_);
    steps_.clear();
    for (const auto& step : steps) step();
}

}  // namespace quelby
