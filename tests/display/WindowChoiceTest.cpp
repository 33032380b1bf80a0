#include "display/WindowChoice.h"

#include "engine/core/Failure.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>

namespace quelby {

void PrintTo(const Window& w, std::ostream* os) { *os << "{" << w.level << ", " << w.width << "}"; }

namespace {

struct LargestCase {
    double largest;
    Window expected;
};

class WindowFromLargest : public testing::TestWithParam<LargestCase> {};

TEST_P(WindowFromLargest, TruncatesTowardZeroAndHoldsAtTheFieldLimit)
{
    EXPECT_EQ(windowFromLargest(GetParam().largest), GetParam().expected) << GetParam().largest;
}

INSTANTIATE_TEST_SUITE_P(Values, WindowFromLargest,
                         testing::Values(LargestCase{1235, {617, 1235}}, LargestCase{1234.7, {617, 1234}},
                                         LargestCase{0.9, {0, 0}}, LargestCase{0.0, {0, 0}},
                                         LargestCase{1.0, {0, 1}}, LargestCase{32767.9, {16383, 32767}},
                                         LargestCase{32768, {16384, 32767}}, LargestCase{40000, {20000, 32767}},
                                         LargestCase{65535, {32767, 32767}}, LargestCase{70000, {32767, 32767}},
                                         LargestCase{1e300, {32767, 32767}}));

struct SnrCase {
    double min;
    double step;
    Window expected;
};

class SnrWindow : public testing::TestWithParam<SnrCase> {};

TEST_P(SnrWindow, SpansTheBandsInExtendedPrecisionKeepingTheLow16Bits)
{
    const auto& c = GetParam();
    EXPECT_EQ(snrWindow(c.min, c.step), c.expected) << c.min << " / " << c.step;
}

INSTANTIATE_TEST_SUITE_P(Values, SnrWindow,
                         testing::Values(SnrCase{60, 20, {160, 460}}, SnrCase{100, 20, {200, 500}},
                                         SnrCase{0.6, 0.2, {1, 4}}, SnrCase{-100, 10, {-50, 100}},
                                         SnrCase{0, -0.5, {-2, -10}},
                                         // 0.6 × 5 + 3 is just below 6 in extended precision (6 in double).
                                         SnrCase{3, 0.6, {5, 14}},
                                         SnrCase{0, 10000, {-15536, 3392}}));

TEST(SnrWindowFault, BeyondThe64BitRangeIsAnInvalidOperation)
{
    try {
        snrWindow(0, 1e300);
        FAIL() << "no failure";
    } catch (const Failure& f) {
        EXPECT_STREQ(f.what(), "不正な浮動小数点数演算命令");
    }
}

TEST(GFactorWindowValue, IsTwoHundredAndFourHundred) { EXPECT_EQ(GFactorWindow, (Window{200, 400})); }

struct DragCase {
    const char* name;
    DragState start;
    int x;
    int y;
    Window expected;
};

DragState pressAt(int x, int y, std::int16_t level, std::int16_t width)
{
    DragState d;
    d.StartX = x;
    d.StartY = y;
    d.StartLevel = level;
    d.StartWidth = width;
    d.Active = 1;
    return d;
}

class DragWindow : public testing::TestWithParam<DragCase> {};

TEST_P(DragWindow, AddsTheDisplacementOn16Bits)
{
    const auto& c = GetParam();
    EXPECT_EQ(dragWindow(c.start, c.x, c.y), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DragWindow,
    testing::Values(DragCase{"from the start state straight left", DragState{}, -10, 0, {0, 1}},
                    DragCase{"ten to the right", DragState{}, 10, 0, {0, 10}},
                    DragCase{"down raises the level", pressAt(5, 5, 100, 200), 5, 25, {120, 200}},
                    DragCase{"up lowers it below zero", pressAt(5, 200, 0, 200), 5, 100, {-100, 200}},
                    DragCase{"width to exactly one", pressAt(100, 0, 0, 50), 51, 0, {0, 1}},
                    DragCase{"width to zero becomes one", pressAt(100, 0, 0, 50), 50, 0, {0, 1}},
                    DragCase{"width past 32767 wraps, then one", pressAt(0, 0, 0, 32760), 10, 0, {0, 1}},
                    DragCase{"width wraps round to positive", pressAt(0, 0, 0, 32760), 40000, 0, {0, 7224}},
                    DragCase{"level wraps with no bound", pressAt(0, 0, 32767, 10), 0, 1, {-32768, 10}},
                    DragCase{"displacement, not position (a)", pressAt(100, 50, 10, 20), 110, 40, {0, 30}},
                    DragCase{"displacement, not position (b)", pressAt(0, 0, 10, 20), 10, -10, {0, 30}},
                    DragCase{"far outside the picture", pressAt(-1, INT_MIN, 0, 0), INT_MAX, INT_MAX, {-1, 1}}),
    [](const testing::TestParamInfo<DragCase>& info) { return "case" + std::to_string(info.index); });

}  // namespace
}  // namespace quelby
