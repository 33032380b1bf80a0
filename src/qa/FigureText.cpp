#include "qa/FigureText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quelby {

namespace {

constexpr int significant = 4;

// "12.50" → "12.5", "3.000e-07" → "3e-07", "1200" unchanged.
std::string trimmed(std::string text)
{
    const std::size_t exponent = text.find('e');
    std::string mantissa = text.substr(0, exponent);
    if (mantissa.find('.') != std::string::npos) {
        mantissa.erase(mantissa.find_last_not_of('0') + 1);
        if (mantissa.back() == '.') mantissa.pop_back();
    }
    return exponent == std::string::npos ? mantissa : mantissa + text.substr(exponent);
}

}  // namespace

std::string figureText(double value)
{
    if (!std::isfinite(value)) return "\u2014";
    if (value == 0) return "0";
    char text[64];
    // The decimal exponent after rounding: 9999.7 becomes 1.000e+04, written 10000.
    std::snprintf(text, sizeof text, "%.*e", significant - 1, value);
    const int exponent = std::atoi(std::strchr(text, 'e') + 1);
    if (exponent < -6 || exponent >= 6) return trimmed(text);
    std::snprintf(text, sizeof text, "%.*f", std::max(0, significant - 1 - exponent), std::strtod(text, nullptr));
    return trimmed(text);
}

}  // namespace quelby
