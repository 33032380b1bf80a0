#include "display/ScaleBar.h"

#include "engine/core/Failure.h"
#include "display/Rendering.h"

#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <memory>

namespace {

using namespace quelby;

constexpr double Sentinel = -7.25;

std::unique_ptr<Map> sentinelMap()
{
    auto map = std::make_unique<Map>();
    for (auto& row : *map) row.fill(Sentinel);
    return map;
}

bool inBar(int r, int c) { return r >= 53 && r <= 202 && c >= 235 && c <= 250; }

bool onFrame(int r, int c)
{
    const bool rows = r >= 52 && r <= 203, cols = c >= 234 && c <= 251;
    return (rows && (c == 234 || c == 251)) || (cols && (r == 52 || r == 203));
}

// The value of each band, read at its first row, top to bottom.
std::array<double, 10> bandValues(const Map& map)
{
    std::array<double, 10> values{};
    for (int b = 0; b < 10; ++b) values[b] = map[53 + 15 * b][235];
    return values;
}

TEST(WriteScaleBar, WritesTenBandsOfFifteenRowsAndNothingElse)
{
    auto map = sentinelMap();
    WriteScaleBar(*map, 60.0, 20.0);
    for (int r = 0; r < ImageSide; ++r)
        for (int c = 0; c < ImageSide; ++c) {
            const double expected = inBar(r, c) ? (9 - (r - 53) / 15) * 20.0 + 60.0 : Sentinel;
            ASSERT_EQ((*map)[r][c], expected) << r << "," << c;
        }
    EXPECT_EQ(bandValues(*map), (std::array<double, 10>{240, 220, 200, 180, 160, 140, 120, 100, 80, 60}));
    EXPECT_EQ((*map)[53][250], 240.0);
    EXPECT_EQ((*map)[67][240], 240.0);
    EXPECT_EQ((*map)[68][240], 220.0);
    EXPECT_EQ((*map)[202][235], 60.0);
}

TEST(WriteScaleBar, BandsRenderAsTheirGreysUnderTheScaleWindows)
{
    struct WindowCase {
        std::int16_t level;
        std::int16_t width;
        std::array<int, 10> bandGreys;
        int frameGrey;
    };
    const WindowCase cases[] = {
        {160, 460, {172, 161, 150, 139, 128, 116, 105, 94, 83, 72}, 205},
        {200, 400, {153, 140, 128, 115, 102, 89, 76, 64, 51, 38}, 192},
    };
    auto map = sentinelMap();
    WriteScaleBar(*map, 60.0, 20.0);
    WriteScaleFrame(*map);
    for (const auto& [level, width, bandGreys, frameGrey] : cases) {
        for (int b = 0; b < 10; ++b)
            EXPECT_EQ(greyOf((*map)[53 + 15 * b][240], level, width), bandGreys[b]) << level << " band " << b;
        EXPECT_EQ(greyOf((*map)[52][240], level, width), frameGrey) << level;
    }
}

TEST(WriteScaleBar, ANegativeStepGrowsDownward)
{
    auto map = sentinelMap();
    WriteScaleBar(*map, 0.5, -10.0);
    EXPECT_EQ(bandValues(*map),
              (std::array<double, 10>{-89.5, -79.5, -69.5, -59.5, -49.5, -39.5, -29.5, -19.5, -9.5, 0.5}));
}

TEST(WriteScaleBar, ABandBeyondTheDoubleRangeOverflows)
{
    auto map = sentinelMap();
    try {
        WriteScaleBar(*map, 0.0, DBL_MAX / 4);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "浮動小数点数のオーバーフロー");
    }
}

TEST(WriteScaleFrame, Writes300AroundTheBarAndNothingElse)
{
    auto map = sentinelMap();
    WriteScaleFrame(*map);
    int framed = 0;
    for (int r = 0; r < ImageSide; ++r)
        for (int c = 0; c < ImageSide; ++c) {
            ASSERT_EQ((*map)[r][c], onFrame(r, c) ? 300.0 : Sentinel) << r << "," << c;
            framed += onFrame(r, c);
        }
    EXPECT_EQ(framed, 336);
    for (const auto& [r, c] : {std::pair{52, 234}, {52, 251}, {203, 234}, {203, 251}, {100, 234}, {52, 240}})
        EXPECT_EQ((*map)[r][c], 300.0) << r << "," << c;
    for (const auto& [r, c] : {std::pair{51, 234}, {204, 251}, {100, 233}, {100, 252}, {53, 235}})
        EXPECT_EQ((*map)[r][c], Sentinel) << r << "," << c;
}

}  // namespace
