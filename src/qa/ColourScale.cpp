#include "qa/ColourScale.h"

#include "engine/core/Percentile.h"

#include <algorithm>
#include <cmath>

namespace quelby {

std::vector<double> roundTicks(double low, double high, int intervals)
{
    if (!(high > low)) {
        const double pad = low != 0 ? std::fabs(low) * 0.05 : 1;
        low -= pad;
        high += pad;
    }
    const double raw = (high - low) / std::max(1, intervals);
    const double power = std::floor(std::log10(raw));
    const double unit = std::pow(10.0, power);
    double mantissa = 10;
    for (const double m : {1.0, 2.0, 5.0})
        if (m * unit >= raw * (1 - 1e-9)) {
            mantissa = m;
            break;
        }
    const double step = mantissa * unit;
    // Ticks as whole multiples, divided by 10^-k for fractions so that 0.3 prints as 0.3.
    const auto tick = [&](double n) { return power < 0 ? n * mantissa / std::pow(10.0, -power) : n * step; };
    const double first = std::floor(low / step * (1 + 1e-12)), last = std::ceil(high / step * (1 - 1e-12));
    std::vector<double> ticks;
    for (double n = first; n <= last; ++n) ticks.push_back(tick(n));
    return ticks;
}

ColourScale robustScale(std::vector<double> values)
{
    std::erase_if(values, [](double v) { return !std::isfinite(v); });
    if (values.empty()) return {roundTicks(0, 1)};
    const double low = rankPercentile(values, 1);
    return {roundTicks(low, rankPercentile(values, 99))};
}

}  // namespace quelby
