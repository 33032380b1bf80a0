// The scales of the pictures: round ticks, and outliers that cannot stretch them.
#include "qa/Pictures.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace quelby;

TEST(Pictures, TicksAreRoundStepsCoveringTheRange)
{
    const struct {
        double low, high;
        std::vector<double> ticks;
    } cases[] = {
        {0, 280.45, {0, 100, 200, 300}},
        {140.23, 180.3, {140, 150, 160, 170, 180, 190}},
        {0.5, 3.4, {0, 1, 2, 3, 4}},
        {-0.5, 0.5, {-0.6, -0.4, -0.2, 0, 0.2, 0.4, 0.6}},
        {0.0012, 0.0019, {0.0012, 0.0014, 0.0016, 0.0018, 0.002}},
        {1, 32, {0, 10, 20, 30, 40}},
        {7, 7, {6.6, 6.8, 7, 7.2, 7.4}},  // a flat map: 5 % either side
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.low) + " to " + std::to_string(c.high));
        const std::vector<double> ticks = roundTicks(c.low, c.high);
        ASSERT_EQ(ticks.size(), c.ticks.size());
        // Exact, so that 0.2 is written 0.2 and not 0.20000000000000001.
        for (std::size_t k = 0; k < ticks.size(); ++k) EXPECT_EQ(ticks[k], c.ticks[k]) << k;
    }
}

TEST(Pictures, TheScaleRunsFromThe1stToThe99thPercentile)
{
    std::vector<double> values;
    for (int k = 0; k < 1000; ++k) values.push_back(150 + 20 * (k % 101) / 100.0);  // 150 to 170
    for (int k = 0; k < 5; ++k) values.push_back(5000);                              // hot pixels
    values.push_back(NAN);
    const ColourScale scale = robustScale(values);
    EXPECT_EQ(scale.low(), 150);
    EXPECT_EQ(scale.high(), 170);
    EXPECT_EQ(robustScale({}).ticks.size() > 1, true);
}
