#include "display/DisplayTexts.h"

#include "engine/core/MapStore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quelby {
namespace {

struct TextCase {
    std::string actual;
    std::string expected;
};

class Texts : public testing::TestWithParam<TextCase> {};

TEST_P(Texts, ReadExactly) { EXPECT_EQ(GetParam().actual, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    RunWindow, Texts,
    testing::Values(TextCase{runWindowText({617, 1235}), "(wl,ww) = (617,1235)"},
                    TextCase{runWindowText({0, 0}), "(wl,ww) = (0,0)"},
                    TextCase{runWindowText({-32768, 32767}), "(wl,ww) = (-32768,32767)"}));

INSTANTIATE_TEST_SUITE_P(
    Window, Texts,
    testing::Values(TextCase{windowText({160, 460}, SnrMapAIndex), "( WL,WW ) = ( 160 , 460 )"},
                    TextCase{windowText({0, 1}, -1), "( WL,WW ) = ( 0 , 1 )"},
                    TextCase{windowText({-200, 7}, NoiseMapBIndex), "( WL,WW ) = ( -200 , 7 )"},
                    TextCase{windowText({200, 400}, GFactorMapIndex), "( WL,WW ) = ( 2.00 , 4.00 )"},
                    TextCase{windowText({150, 300}, GFactorMapIndex), "( WL,WW ) = ( 1.50 , 3.00 )"},
                    TextCase{windowText({-5, 1}, GFactorMapIndex), "( WL,WW ) = ( -0.05 , 0.01 )"},
                    TextCase{windowText({-32768, 32767}, GFactorMapIndex), "( WL,WW ) = ( -327.68 , 327.67 )"}));

INSTANTIATE_TEST_SUITE_P(
    Position, Texts,
    testing::Values(TextCase{positionText(12, 200), "( X,Y ) = ( 12 , 200 )"},
                    TextCase{positionText(0, 255), "( X,Y ) = ( 0 , 255 )"},
                    TextCase{positionText(-3, 300), "( X,Y ) = ( -3 , 300 )"}));

INSTANTIATE_TEST_SUITE_P(
    Value, Texts,
    testing::Values(TextCase{valueText(SnrMapAIndex, 240), "SNR = 240.00"},
                    TextCase{valueText(SnrMapBIndex, 300), "SNR = 300.00"},
                    TextCase{valueText(SnrMapAIndex, -2.5), "SNR = -2.50"},
                    TextCase{valueText(SnrMapBIndex, -0.004), "SNR = 0.00"},
                    TextCase{valueText(GFactorMapIndex, 123.4), "g-factor = 1.234"},
                    TextCase{valueText(GFactorMapIndex, 300), "g-factor = 3.000"},
                    TextCase{valueText(GFactorMapIndex, -50), "g-factor = -0.500"},
                    TextCase{valueText(GFactorMapIndex, 0.05), "g-factor = 0.001"},
                    TextCase{valueText(GFactorMapIndex, -0.04), "g-factor = 0.000"},
                    TextCase{valueText(RepImageAIndex, 1234.5), "信号強度 = 1234.50"},
                    TextCase{valueText(NoiseMapAIndex, 2.125), "信号強度 = 2.13"},
                    TextCase{valueText(SignalMapBIndex, -7), "信号強度 = -7.00"},
                    TextCase{valueText(-1, 240), "信号強度 = 240.00"}));

TEST(ReadoutCaptions, StartWithABlank)
{
    EXPECT_STREQ(SnrReadoutCaption, " SNR = ");
    EXPECT_STREQ(SignalReadoutCaption, " 信号強度 = ");
}

struct LabelCase {
    int mapIndex;
    double min;
    double step;
    std::vector<std::string> expected;  // top to bottom
};

class ScaleLabelTexts : public testing::TestWithParam<LabelCase> {};

TEST_P(ScaleLabelTexts, NameEachBandFromTheTop)
{
    const auto& c = GetParam();
    const auto labels = scaleLabelTexts(c.mapIndex, c.min, c.step);
    ASSERT_TRUE(labels.has_value());
    EXPECT_EQ(std::vector<std::string>(labels->begin(), labels->end()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Maps, ScaleLabelTexts,
    testing::Values(
        LabelCase{SnrMapAIndex, 60, 20, {"240", "220", "200", "180", "160", "140", "120", "100", "80", "60"}},
        LabelCase{SnrMapBIndex, 100, 20, {"280", "260", "240", "220", "200", "180", "160", "140", "120", "100"}},
        LabelCase{GFactorMapIndex, 0.6, 0.2,
                  {"2.40", "2.20", "2.00", "1.80", "1.60", "1.40", "1.20", "1.00", "0.80", "0.60"}},
        LabelCase{GFactorMapIndex, 1, 0.2,
                  {"2.80", "2.60", "2.40", "2.20", "2.00", "1.80", "1.60", "1.40", "1.20", "1.00"}},
        // Halves go away from zero: 22.5 shows as 23, 17.5 as 18.
        LabelCase{SnrMapAIndex, 0, 2.5, {"23", "20", "18", "15", "13", "10", "8", "5", "3", "0"}},
        LabelCase{SnrMapBIndex, 100, -10, {"10", "20", "30", "40", "50", "60", "70", "80", "90", "100"}},
        LabelCase{SnrMapAIndex, -0.4, 0.04, {"0", "0", "0", "0", "0", "0", "0", "0", "0", "0"}},
        LabelCase{GFactorMapIndex, -1, 0.25,
                  {"1.25", "1.00", "0.75", "0.50", "0.25", "0.00", "-0.25", "-0.50", "-0.75", "-1.00"}}));

TEST(ScaleLabelTextsOtherMaps, HaveNone)
{
    for (int index : std::initializer_list<int>{-1, RepImageAIndex, SignalMapAIndex, NoiseMapAIndex, RepImageBIndex, SignalMapBIndex,
                      NoiseMapBIndex})
        EXPECT_FALSE(scaleLabelTexts(index, 60, 20).has_value()) << index;
}

}  // namespace
}  // namespace quelby
