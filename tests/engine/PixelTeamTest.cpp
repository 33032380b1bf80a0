#include "PixelTeam.h"
#include "Unprivileged.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/resource.h>

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

// Where the system starts no thread, the caller does the whole job itself.
TEST(PixelTeam, WithoutAThreadTheCallerTakesEveryChunk)
{
    EXPECT_EQ(test::asUnprivileged([] {
                  const rlimit none{0, 0};
                  if (::setrlimit(RLIMIT_NPROC, &none) != 0) return std::string("no limit");
                  try {
                      std::thread([] {}).join();
                      return std::string("threads still start");
                  } catch (const std::system_error&) {
                  }
                  std::vector<int> counts(1000);
                  PixelTeam team(counts.size(), 64);
                  team.run([&](std::size_t from, std::size_t to) {
                      for (std::size_t p = from; p < to; ++p) ++counts[p];
                  });
                  return std::count(counts.begin(), counts.end(), 1) == 1000 ? std::string() : std::string("missed");
              }),
              "");
}

}  // namespace
