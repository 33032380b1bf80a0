#include "display/Rendering.h"

#include "engine/core/Failure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>

namespace {

using namespace quelby;

constexpr char DivisionByZeroText[] = "ゼロによる除算";
constexpr char InvalidOperationText[] = "不正な浮動小数点数演算命令";

struct Bitmap {
    std::array<std::array<std::uint8_t, 3 * ImageSide>, ImageSide> bytes{};
    std::array<std::uint8_t*, ImageSide> rows{};

    Bitmap()
    {
        for (int r = 0; r < ImageSide; ++r) rows[r] = bytes[r].data();
    }
    void fill(std::uint8_t pattern)
    {
        for (auto& row : bytes) row.fill(pattern);
    }
    bool allEqual(std::uint8_t pattern) const
    {
        for (const auto& row : bytes)
            for (std::uint8_t b : row)
                if (b != pattern) return false;
        return true;
    }
};

std::string messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Failure& failure) {
        return failure.what();
    }
    return "no failure";
}

struct GreyCase {
    std::int16_t level;
    std::int16_t width;
    double value;
    int grey;
};

TEST(GreyOf, FollowsTheWindowSteps)
{
    const GreyCase cases[] = {
        // The worked values: SNR window, g-factor window, the narrowest window.
        {160, 460, 60, 72}, {160, 460, 240, 172}, {160, 460, 300, 205},
        {200, 400, 60, 38}, {200, 400, 240, 153}, {200, 400, 300, 192},
        {0, 1, 0, 0}, {0, 1, 1, 255},
        // Lower edge 200 - 200 = 0: the edge is black, edge + W and beyond white.
        {200, 400, 0, 0}, {200, 400, 1, 0}, {200, 400, 2, 1}, {200, 400, 399, 255},
        {200, 400, 400, 255}, {200, 400, 1000, 255}, {200, 400, -1, 0},
        // Odd width: h = 230, so the lower edge is -230.
        {0, 461, -230, 0}, {0, 461, -229, 0}, {0, 461, 0, 127}, {0, 461, 230, 255},
        {0, 461, 231, 255}, {0, 461, -231, 0},
        // Fractions are cut toward zero before any arithmetic.
        {0, 256, 0.99, 128}, {0, 256, 0, 128}, {0, 256, -0.9, 128}, {0, 256, -1.0, 127},
        {0, 256, 1.99, 129}, {160, 460, 72.9, 79}, {160, 460, 72.0, 79},
        // Negative widths: the ramp runs downward from the edge L - W div 2 = L + |W| div 2.
        {100, -100, 150, 0}, {100, -100, 149, 2}, {100, -100, 100, 128}, {100, -100, 51, 253},
        {100, -100, 50, 255}, {100, -100, -1000, 255}, {100, -100, 151, 0}, {100, -100, 1000, 0},
        {0, -461, 230, 0}, {0, -461, 0, 127}, {0, -461, -231, 255},
        // The extreme widths.
        {0, -32768, 16384, 0}, {0, -32768, 16383, 0}, {0, -32768, 0, 128}, {0, -32768, -16384, 255},
        {0, 32767, -16383, 0}, {0, 32767, 0, 127}, {0, 32767, 16383, 255}, {0, 32767, 16384, 255},
        {-32768, 32767, -32768, 127}, {32767, -32768, 32767, 128},
        {5, 1, 4, 0}, {5, 1, 5, 0}, {5, 1, 6, 255},
        // Far outside: the 64-bit product clips where 32 bits would wrap ((2^23) * 256 = 2^31).
        {0, 1, 8388608, 255}, {0, 2, 2147483647.5, 255}, {0, 1, -2147483648.0, 0},
        {0, 1, 1e6, 255}, {0, 1, -1e6, 0}, {-32768, 1, 1e6, 255}, {32767, 1, -1e6, 0},
        // The whole part is a 32-bit integer: beyond 2^31 it keeps the low 32 bits.
        {0, 1, 3e9, 0}, {0, 1, -3e9, 255}, {0, 256, 0x1p40, 128}, {0, 256, 0x1p40 + 5, 133},
        {0, 256, -0x1p63, 128}, {0, 1, 2147483648.0, 0},
    };
    for (const auto& [level, width, value, grey] : cases)
        EXPECT_EQ(greyOf(value, level, width), grey) << "L " << level << " W " << width << " value " << value;
}

TEST(GreyOf, WidthZeroIsAnIntegerDivisionByZeroAfterTheTrunc)
{
    EXPECT_EQ(messageOf([] { greyOf(100.0, 50, 0); }), DivisionByZeroText);
    EXPECT_EQ(messageOf([] { greyOf(std::nan(""), 50, 0); }), InvalidOperationText);
}

TEST(GreyOf, ValuesWithoutA64BitWholePartAreInvalid)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (double value : {std::nan(""), inf, -inf, 0x1p63, -0x1p64})
        EXPECT_EQ(messageOf([value] { greyOf(value, 0, 1); }), InvalidOperationText) << value;
}

TEST(RenderMap, WidthZeroFailsBeforeAnyByteIsWritten)
{
    auto map = std::make_unique<Map>();
    Bitmap bitmap;
    bitmap.fill(0xA5);
    EXPECT_EQ(messageOf([&] { renderMap(*map, 0, 0, bitmap.rows.data()); }), DivisionByZeroText);
    EXPECT_TRUE(bitmap.allEqual(0xA5));

    // The first pixel's Trunc comes before the division.
    (*map)[0][0] = std::nan("");
    EXPECT_EQ(messageOf([&] { renderMap(*map, 0, 0, bitmap.rows.data()); }), InvalidOperationText);
    EXPECT_TRUE(bitmap.allEqual(0xA5));
}

TEST(RenderMap, AFailingValueStopsAtItsPixel)
{
    auto map = std::make_unique<Map>();
    (*map)[7][100] = std::nan("");
    (*map)[7][99] = 1.0;
    Bitmap bitmap;
    bitmap.fill(0xA5);
    EXPECT_EQ(messageOf([&] { renderMap(*map, 0, 1, bitmap.rows.data()); }), InvalidOperationText);
    EXPECT_EQ(bitmap.bytes[6][3 * 255], 0);
    EXPECT_EQ(bitmap.bytes[7][3 * 99 + 2], 255);
    EXPECT_EQ(bitmap.bytes[7][3 * 100], 0xA5);
    EXPECT_EQ(bitmap.bytes[8][0], 0xA5);
}

TEST(RenderMap, MapRowsAndColumnsAreBitmapRowsAndPixels)
{
    const std::pair<int, int> positions[] = {{0, 0}, {0, 255}, {255, 0}, {255, 255}, {1, 2}, {200, 17}};
    for (const auto& [row, col] : positions) {
        auto map = std::make_unique<Map>();
        (*map)[row][col] = 1.0;
        Bitmap bitmap;
        bitmap.fill(0xA5);
        renderMap(*map, 0, 1, bitmap.rows.data());
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c) {
                const int expected = (r == row && c == col) ? 255 : 0;
                for (int k = 0; k < 3; ++k)
                    ASSERT_EQ(bitmap.bytes[r][3 * c + k], expected) << row << "," << col << " at " << r << "," << c;
            }
    }
}

// Compares every byte of the rows [first, first + count) with greyOf.
::testing::AssertionResult rowsMatch(const Map& map, const Bitmap& bitmap, int first, int count, std::int16_t level,
                                     std::int16_t width)
{
    for (int r = first; r < first + count; ++r)
        for (int c = 0; c < ImageSide; ++c) {
            const std::uint8_t expected = greyOf(map[r][c], level, width);
            for (int k = 0; k < 3; ++k)
                if (bitmap.bytes[r][3 * c + k] != expected)
                    return ::testing::AssertionFailure()
                           << "L " << level << " W " << width << " value " << map[r][c] << " at " << r << "," << c
                           << " byte " << k << ": " << int(bitmap.bytes[r][3 * c + k]) << " instead of "
                           << int(expected);
        }
    return ::testing::AssertionSuccess();
}

// Some rows also hold values beyond 32 bits, which take the literal steps: many of
// every size in rows 5, 37, ..., one just beyond 2^31 beside the largest that fits
// in rows 21, 53, ...
void addWideValues(Map& map, int row, std::mt19937_64& rng)
{
    if (row % 32 == 5) {
        std::uniform_real_distribution<double> exponent(31.0, 62.9);
        for (int c = 0; c < ImageSide; c += 8) map[row][c] = std::exp2(exponent(rng)) * (c % 16 ? 1 : -1);
    } else if (row % 32 == 21) {
        std::uniform_real_distribution<double> justBeyond(0x1p31, 0x1p32);
        map[row][10] = 2147483647.9;
        map[row][11] = -2147483648.0;
        map[row][12] = justBeyond(rng) * (row % 64 == 21 ? 1 : -1);
    }
}

// Values of every kind: ordinary pixel values with fractions, small fractions of
// either sign, exact integers, and a few rows with values beyond 32 bits.
void fillMixed(Map& map, std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> pixel(-40000.0, 40000.0);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> kind(0, 9);
    for (int r = 0; r < ImageSide; ++r) {
        for (int c = 0; c < ImageSide; ++c) {
            double& v = map[r][c];
            switch (kind(rng)) {
            case 0: v = unit(rng); break;
            case 1: v = std::trunc(pixel(rng)); break;
            case 2: v = pixel(rng) * 1000; break;
            default: v = pixel(rng); break;
            }
        }
        addWideValues(map, r, rng);
    }
}

std::int16_t randomWidth(std::mt19937_64& rng)
{
    std::uniform_int_distribution<int> kind(0, 3);
    std::uniform_int_distribution<int> any(-32768, 32767);
    std::uniform_int_distribution<int> tiny(-4, 4);
    std::uniform_int_distribution<int> nearEnd(0, 8);
    int w = 0;
    while (w == 0) {
        switch (kind(rng)) {
        case 0: w = tiny(rng); break;
        case 1: w = (nearEnd(rng) % 2 ? 32767 - nearEnd(rng) : -32768 + nearEnd(rng)); break;
        default: w = any(rng) >> std::uniform_int_distribution<int>(0, 14)(rng); break;
        }
    }
    return static_cast<std::int16_t>(w);
}

TEST(RenderMap, MatchesGreyOfOverRandomWindowsAndValues)
{
    std::mt19937_64 rng(0x5eed'2024);
    auto map = std::make_unique<Map>();
    fillMixed(*map, rng);
    Bitmap bitmap;
    std::uniform_int_distribution<int> anyLevel(-32768, 32767);
    std::uniform_int_distribution<int> anyRow(0, ImageSide - 1);
    std::uniform_real_distribution<double> fraction(-0.999, 0.999);
    constexpr int Windows = 4000;
    constexpr int ProbeRows = 4;
    for (int i = 0; i < Windows; ++i) {
        const auto level = static_cast<std::int16_t>(anyLevel(rng));
        const std::int16_t width = randomWidth(rng);
        // Rows of values around this window's ramp, each offset in a few forms.
        const int lower = level - width / 2;
        const int span = std::abs(int{width});
        std::uniform_int_distribution<int> offset(-span - 3, span + 3);
        const int first = (i * ProbeRows) % ImageSide;
        for (int r = first; r < first + ProbeRows; ++r) {
            for (int c = 0; c < ImageSide; ++c) {
                const double whole = lower + offset(rng);
                (*map)[r][c] = c % 3 == 0 ? whole : whole + fraction(rng);
            }
            addWideValues(*map, r, rng);
        }
        bitmap.fill(0xA5);
        renderMap(*map, level, width, bitmap.rows.data());
        ASSERT_TRUE(rowsMatch(*map, bitmap, first, ProbeRows, level, width));
        const int other = anyRow(rng);
        ASSERT_TRUE(rowsMatch(*map, bitmap, other, 1, level, width));
        if (i % 128 == 0) {
            ASSERT_TRUE(rowsMatch(*map, bitmap, 0, ImageSide, level, width));
        }
    }
}

// The fast path's per-unit factor, checked at every step of the ramp of every width:
// the grey is monotonic in the offset, so agreeing on both sides of each step is
// agreeing everywhere.
TEST(GreyPerUnit, GivesTheExactQuotientForEveryWidth)
{
    for (int w = -32768; w <= 32767; ++w) {
        if (w == 0) continue;
        const auto width = static_cast<std::int16_t>(w);
        const double perUnit = detail::greyPerUnit(width);
        const int span = std::abs(w);
        const int sign = w < 0 ? -1 : 1;
        const auto exact = [span](int d) { return std::clamp(256 * d / span, 0, 255); };
        const auto fast = [perUnit, sign](int d) { return int{detail::rampGrey(double(sign * d), perUnit)}; };
        for (int q = 1; q < 256; ++q) {
            const int step = (q * span + 255) / 256;
            if (fast(step) != exact(step) || fast(step - 1) != exact(step - 1))
                FAIL() << "width " << w << " offset " << step;
        }
        ASSERT_EQ(fast(span), 255) << w;
        ASSERT_EQ(fast(-1), 0) << w;
        ASSERT_EQ(fast(0), 0) << w;
    }
}

}  // namespace
