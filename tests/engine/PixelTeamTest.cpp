#include "PixelTeam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

using namespace quelby;

namespace {

// Every pixel of every job once, whatever the caller does between post and
// finish, a last chunk shorter than the others included; a pass that leaves
// by failure still has its job done.
TEST(PixelTeam, EveryJobCoversEveryPixelOnceBeforeFinishReturns)
{
    constexpr std::size_t Pixels = 1000, Chunk = 64;
    std::vector<int> counts(Pixels);
    PixelTeam team(Pixels, Chunk);
    for (int job = 1; job <= 200; ++job) {
        team.post([&](std::size_t from, std::size_t to) {
            for (std::size_t p = from; p < to; ++p) ++counts[p];
        });
        if (job % 2 == 0) team.finish();  // finishing twice is harmless
        team.finish();
        ASSERT_EQ(std::count(counts.begin(), counts.end(), job), static_cast<long>(Pixels)) << "job " << job;
    }
    EXPECT_THROW(
        {
            const FinishedOnExit finished{team};
            team.post([&](std::size_t from, std::size_t to) {
                for (std::size_t p = from; p < to; ++p) counts[p] = -1;
            });
            throw std::runtime_error("a file failed");
        },
        std::runtime_error);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), -1), static_cast<long>(Pixels));
}

}  // namespace
