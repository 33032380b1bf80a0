#include "engine/kernel/PixelBacklog.h"
#include "engine/kernel/PixelTeam.h"
#include "engine/kernel/TwoThreads.h"
#include "Unprivileged.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/resource.h>

using namespace quelby;

namespace {

// Every pixel of every job once, jobs queued many at a time (more than the
// team holds) taking each pixel in the order they were posted, a last chunk
// shorter than the others included.
TEST(PixelTeam, QueuedJobsTakeEveryPixelOnceAndInOrder)
{
    constexpr std::size_t Pixels = 1000, Chunk = 64;
    std::vector<long> values(Pixels);
    PixelTeam team(Pixels, Chunk);
    long expected = 0;
    for (int job = 1; job <= 200; ++job) {
        // Not commutative: any job out of order on a pixel changes the result.
        team.post([&values, job](std::size_t from, std::size_t to) {
            for (std::size_t p = from; p < to; ++p) values[p] = (values[p] * 3 + job) % 1000003;
        });
        expected = (expected * 3 + job) % 1000003;
        if (job % 50 == 0) {
            team.finish();
            ASSERT_EQ(std::count(values.begin(), values.end(), expected), static_cast<long>(Pixels)) << "job " << job;
        }
    }
    const PixelTeam::Ticket last = team.post([&](std::size_t from, std::size_t to) {
        for (std::size_t p = from; p < to; ++p) values[p] = -1;
    });
    team.finish(last);
    team.finish(last);  // finishing twice is harmless
    EXPECT_EQ(std::count(values.begin(), values.end(), -1), static_cast<long>(Pixels));
}

// A buffer is handed back only once the jobs reading it are done, and a run
// that leaves by failure still has every queued job and step done.
TEST(PixelBacklog, ReleaseWaitsForTheReadersAndDrainingOnExitForAll)
{
    constexpr std::size_t Pixels = 4096;
    std::vector<unsigned char> buffers(2 * Pixels, 1);
    const std::span<const unsigned char> first(buffers.data(), Pixels), second(buffers.data() + Pixels, Pixels);
    std::vector<int> sums(Pixels);
    PixelTeam team(Pixels, 256);
    PixelBacklog backlog(team);
    const auto adding = [&](std::span<const unsigned char> bytes) {
        return [&sums, bytes](std::size_t from, std::size_t to) {
            for (std::size_t p = from; p < to; ++p) sums[p] += bytes[p];
        };
    };
    backlog.add(adding(first), first);
    backlog.add(adding(second), second);
    backlog.release(first);
    std::fill(buffers.begin(), buffers.begin() + Pixels, 10);  // read into again
    backlog.release(second);
    EXPECT_EQ(std::count(sums.begin(), sums.end(), 2), static_cast<long>(Pixels));

    bool stepDone = false;
    EXPECT_THROW(
        {
            const DrainedOnExit drained{backlog};
            backlog.add(adding(first), first);
            backlog.afterwards([&] { stepDone = std::count(sums.begin(), sums.end(), 12) == Pixels; });
            throw std::runtime_error("a file failed");
        },
        std::runtime_error);
    EXPECT_TRUE(stepDone);
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

// Every item once and the lowest item's failure carried out, whether the helper is
// free, held by a team, or itself the caller (a call nested in a helper task).
TEST(TwoThreads, EveryItemOnceAndTheFailureCarriedOutWhereverTheHelperIs)
{
    struct Case {
        const char* where;
        std::function<void(const std::function<void()>&)> around;
    };
    const Case cases[] = {
        {"helper free", [](const auto& call) { call(); }},
        {"helper held by a team",
         [](const auto& call) {
             PixelTeam team(64, 8);
             call();
         }},
        {"nested in both tasks", [](const auto& call) { runOnTwoThreads(call, call); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        c.around([] {
            std::vector<std::atomic<int>> seen(500);
            forEachOnTwoThreads(seen.size(), [&](std::size_t k) { ++seen[k]; });
            EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](const auto& n) { return n == 1; }));
            std::atomic<int> calls = 0;
            // Item 7's failure goes up, though the other thread's at item 300 comes first.
            EXPECT_THROW(forEachOnTwoThreads(500,
                                             [&](std::size_t k) {
                                                 ++calls;
                                                 if (k == 7) {
                                                     std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                                     throw std::out_of_range("item 7");
                                                 }
                                                 if (k == 300) throw std::invalid_argument("item 300");
                                             }),
                         std::out_of_range);
            EXPECT_GE(calls, 8);
        });
    }
}

// Both tasks run to the end before a failure goes up, the first task's first.
TEST(TwoThreads, BothTasksRunAndTheFirstFailureGoesUp)
{
    struct Case {
        bool firstFails, secondFails;
        const char* expected;
    };
    const Case cases[] = {{false, false, ""}, {true, false, "first"}, {false, true, "second"}, {true, true, "first"}};
    for (const Case& c : cases) {
        std::atomic<int> done = 0;
        std::string failure;
        try {
            runOnTwoThreads(
                [&] {
                    ++done;
                    if (c.firstFails) throw std::runtime_error("first");
                },
                [&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    ++done;
                    if (c.secondFails) throw std::runtime_error("second");
                });
        } catch (const std::runtime_error& e) {
            failure = e.what();
        }
        EXPECT_EQ(failure, c.expected);
        EXPECT_EQ(done, 2);
    }
}

}  // namespace
