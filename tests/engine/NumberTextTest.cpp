#include "engine/core/Failure.h"
#include "engine/core/NumberText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using quelby::Failure;
using quelby::formatFixed;
using quelby::parseNumber;

namespace {

std::string failureOf(const std::string& text, const std::string& sep = ".")
{
    try {
        parseNumber(text, sep);
    } catch (const Failure& f) {
        return f.what();
    }
    return "accepted";
}

struct Accepted {
    const char* text;
    double value;
};

TEST(ParseNumber, AcceptsEveryFormTheRuleAllows)
{
    const Accepted cases[] = {
        {"60", 60.0},
        {"0.6", 0.6},
        {"  -12.5  ", -12.5},
        {"+3", 3.0},
        {".5", 0.5},
        {"5.", 5.0},
        {".", 0.0},
        {"-.", 0.0},
        {"1e3", 1000.0},
        {"1E+3", 1000.0},
        {"25e-1", 2.5},
        {"7e", 7.0},      // exponent letter without digits: exponent 0
        {"7e+", 7.0},
        {"7E-", 7.0},
        {"1e-400", 0.0},  // underflow passes silently
        {"0000123", 123.0},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
        {"1e-0000000000000000000000002", 0.01},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseNumber(c.text, "."), c.value);
    }
    EXPECT_TRUE(std::signbit(parseNumber("-0", ".")));
}

TEST(ParseNumber, RejectsEveryOtherTextWithTheTextAsEntered)
{
    const char* rejected[] = {
        "", " ", "   ", "-", "+", "+-1", "--1", "1 2", "1,5", "0x10", "0X1p3", "12abc", "abc", "1e5x",
        "e5", "-e5", "inf", "nan", "infinity", "\t1", "1\t", "1\n", "１２", "1.2.3", "1e+-2", "1e2.5",
        "1e4999", "1e49990",  // exponent 4999: beyond the extended range
        "1e5000", "1e-5000", "0e5000", "1e99999999",  // a digit left after the exponent reached 500
    };
    for (const char* text : rejected) {
        SCOPED_TRACE(text);
        EXPECT_EQ(failureOf(text), "'" + std::string(text) + "' は浮動小数点数ではありません");
    }
}

TEST(ParseNumber, BeyondTheDoubleRangeIsAnOverflow)
{
    for (const char* text : {"1e309", "-2e400", "1e4000", "1e500", "1e0500", "-1e499"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(failureOf(text), "浮動小数点数のオーバーフロー");
    }
}

TEST(ParseNumber, UsesTheGivenDecimalSeparator)
{
    EXPECT_EQ(parseNumber("0,25", ","), 0.25);
    EXPECT_EQ(failureOf("0.25", ","), "'0.25' は浮動小数点数ではありません");
    EXPECT_EQ(parseNumber(",", ","), 0.0);
}

struct Fixed {
    double value;
    int decimals;
    const char* text;
};

// 1.005, 2.675, 1.2345 and 9.995 lie just below their halves as doubles: at 18
// digits they are 1.00499999999999989 and so on, and round down.
TEST(FormatFixed, RoundsHalvesAwayFromZeroAtEighteenDigits)
{
    const Fixed cases[] = {
        {2.125, 2, "2.13"},    {-2.125, 2, "-2.13"}, {22.5, 0, "23"},   {17.5, 0, "18"},
        {2.5, 0, "3"},         {-2.5, 0, "-3"},      {0.5, 0, "1"},     {0.49, 0, "0"},
        {0.005, 2, "0.01"},    {1.005, 2, "1.00"},   {2.675, 2, "2.67"}, {240.0, 0, "240"},
        {2.4, 2, "2.40"},      {0.6, 2, "0.60"},     {1.234, 3, "1.234"}, {1.2345, 3, "1.234"}, {1.0625, 3, "1.063"},
        {9.995, 2, "9.99"},    {9.9951, 2, "10.00"},   {99.5, 0, "100"},     {0.0, 2, "0.00"},  {-0.0, 2, "0.00"},
        {-0.001, 2, "0.00"},   {-0.004, 0, "0"},     {-0.5, 0, "-1"},   {1e20, 0, "100000000000000000000"},
        {123456.789, 2, "123456.79"}, {0.0001234, 3, "0.000"}, {-1.5, 2, "-1.50"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(formatFixed(c.value, c.decimals, "."), c.text);
    }
}

TEST(FormatFixed, WritesTheGivenSeparator)
{
    EXPECT_EQ(formatFixed(2.4, 2, ","), "2,40");
    EXPECT_EQ(formatFixed(7.0, 0, ","), "7");
}

TEST(FormatFixed, ScaleLabelsOfAHalfStepSeries)
{
    const char* expected[] = {"23", "20", "18", "15", "13", "10", "8", "5", "3", "0"};
    for (int n = 1; n <= 10; ++n) EXPECT_EQ(formatFixed((10 - n) * 2.5 + 0, 0, "."), expected[n - 1]);
}

}  // namespace
