// Figures as pictures and reports print them.
#include "qa/FigureText.h"

#include <gtest/gtest.h>

#include <limits>

using namespace quelby;

TEST(FigureText, FourSignificantDigitsPlainWithinTheRange)
{
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.002, "0.002"},          {6.25e-05, "0.0000625"},  {1.5e-07, "1.5e-07"},   {-0.0012345, "-0.001234"},
        {70.1149, "70.11"},        {140.2349, "140.2"},      {12.5, "12.5"},         {1000, "1000"},
        {9999.7, "10000"},         {0.099996, "0.1"},        {123456, "123500"},     {2.5e6, "2.5e+06"},
        {999999.6, "1e+06"},       {0, "0"},                 {-0.0, "0"},            {1e-6, "0.000001"},
    };
    for (const auto& c : cases) EXPECT_EQ(figureText(c.value), c.text) << c.value;
}

TEST(FigureText, NotFiniteIsADash)
{
    for (double v : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()})
        EXPECT_EQ(figureText(v), "\u2014");
}
