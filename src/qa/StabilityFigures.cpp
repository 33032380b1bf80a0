#include "qa/StabilityFigures.h"

#include "engine/series/QuadraticBasis.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace quelby {

namespace {

constexpr double NotFormed = std::numeric_limits<double>::quiet_NaN();

double ratio(double a, double b) { return b != 0 ? a / b : NotFormed; }

double meanOf(std::span<const double> values)
{
    long double sum = 0;
    for (const double v : values) sum += v;
    return static_cast<double>(sum / static_cast<long double>(values.size()));
}

// The values of a map in the n × n square about the centre.
std::vector<double> inSquare(std::span<const double> map, int width, int x, int y, int n)
{
    std::vector<double> values;
    for (int j = y - n / 2; j < y - n / 2 + n; ++j)
        for (int i = x - n / 2; i < x - n / 2 + n; ++i)
            values.push_back(map[static_cast<std::size_t>(j) * static_cast<std::size_t>(width) + static_cast<std::size_t>(i)]);
    return values;
}

// The sample variance (divisor n − 1), from the deviations from the mean.
double variance(std::span<const double> values)
{
    const double mean = meanOf(values);
    long double squares = 0;
    for (const double v : values) squares += (v - mean) * static_cast<long double>(v - mean);
    return static_cast<double>(squares / static_cast<long double>(values.size() - 1));
}

double percentFluctuation(std::span<const double> course, std::span<const double> fit)
{
    long double squares = 0;
    for (std::size_t t = 0; t < course.size(); ++t) squares += (course[t] - fit[t]) * static_cast<long double>(course[t] - fit[t]);
    const double sd = std::sqrt(static_cast<double>(squares / static_cast<long double>(course.size() - 3)));
    return 100 * ratio(sd, meanOf(course));
}

std::vector<double> courseOf(const StabilityMaps& maps, const StabilitySlice& slice, int side)
{
    std::vector<double> course;
    const auto n = static_cast<std::size_t>(maps.roiWidth);
    for (std::size_t t = 0; t < static_cast<std::size_t>(maps.frames); ++t)
        course.push_back(slice.squareMeans[t * n + static_cast<std::size_t>(side) - 1]);
    return course;
}

nlohmann::json figure(double v) { return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr); }

}  // namespace

StabilityFigures stabilityFigures(const StabilityMaps& maps, std::size_t index)
{
    const StabilitySlice& slice = maps.slices[index];
    StabilityFigures f;
    f.frames = maps.frames;
    f.roiWidth = maps.roiWidth;
    f.centreX = slice.centreX;
    f.centreY = slice.centreY;
    const auto square = [&](const std::vector<double>& map) {
        return inSquare(map, maps.width, slice.centreX, slice.centreY, maps.roiWidth);
    };
    f.signal = meanOf(square(slice.signal));
    f.sfnr = meanOf(square(slice.sfnr));
    const int evenFrames = maps.frames - maps.frames % 2;
    f.snr = ratio(f.signal, std::sqrt(variance(square(slice.staticNoise)) / evenFrames));
    const QuadraticBasis basis(maps.frames);
    for (int n = 1; n <= maps.roiWidth; ++n) {
        const std::vector<double> course = courseOf(maps, slice, n), fit = basis.fit(course);
        f.weisskoff.push_back(percentFluctuation(course, fit));
        if (n < maps.roiWidth) continue;
        const auto [low, high] = std::minmax_element(fit.begin(), fit.end());
        f.driftPercent = 100 * ratio(*high - *low, meanOf(course));
        f.course = course;
        f.fit = fit;
    }
    f.percentFluctuation = f.weisskoff.back();
    f.rdc = ratio(f.weisskoff.front(), f.weisskoff.back());
    return f;
}

StabilityResult measureStability(const Stack& stack, const ImageSupplier& supply, bool applyRescale, int roiWidth,
                                 int skip)
{
    StabilityResult result{measureStabilityMaps(stack, supply, applyRescale, roiWidth, skip), {}};
    for (std::size_t s = 0; s < result.maps.slices.size(); ++s) result.figures.push_back(stabilityFigures(result.maps, s));
    return result;
}

nlohmann::json stabilityJson(const StabilityFigures& f)
{
    nlohmann::json weisskoff = nlohmann::json::array();
    for (std::size_t n = 0; n < f.weisskoff.size(); ++n) weisskoff.push_back({n + 1, figure(f.weisskoff[n])});
    return {{"frames", f.frames},
            {"roi_width", f.roiWidth},
            {"centre", {f.centreX, f.centreY}},
            {"signal", figure(f.signal)},
            {"sfnr", figure(f.sfnr)},
            {"snr", figure(f.snr)},
            {"percent_fluctuation", figure(f.percentFluctuation)},
            {"drift_percent", figure(f.driftPercent)},
            {"rdc", figure(f.rdc)},
            {"weisskoff", weisskoff}};
}

std::vector<std::pair<std::string, double>> stabilityColumns(const StabilityFigures& f)
{
    std::vector<std::pair<std::string, double>> columns;
    for (const auto& [name, value] : {std::pair<const char*, double>{"sfnr", f.sfnr},
                                      {"snr_static", f.snr},
                                      {"percent_fluctuation", f.percentFluctuation},
                                      {"drift_stability", f.driftPercent},
                                      {"rdc", f.rdc}})
        columns.emplace_back(name, value);
    return columns;
}

}  // namespace quelby
