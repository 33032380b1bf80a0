#include "qa/SnrMethods.h"

#include "qa/FigureText.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace quelby {

namespace {

// A Rayleigh background of per-channel σ has SD σ·√(2 − π/2) and mean σ·√(π/2). The SD's
// factor is NEMA's 0.655 as published, so the figure compares with sites' historic ones.
constexpr double RayleighSd = 0.655;
const double RayleighMean = std::sqrt(M_PI / 2);
constexpr int PhantomMargin = 2;
// Below 3 steps of the stored values their rounding biases an SD.
constexpr double FewestSteps = 3;
// The share of zeros (a zeroed background) or of negative values (no magnitude image) refused.
constexpr double MostZeros = 0.05;

struct Moments {
    double count = 0, sum = 0, squares = 0;

    void add(double v)
    {
        ++count;
        sum += v;
        squares += v * v;
    }
    double mean() const { return sum / count; }
    // Divisor n − 1; from the sums, which is exact enough for the few thousand values of an ROI.
    double sd() const { return std::sqrt(std::max(0.0, (squares - sum * sum / count) / (count - 1))); }
};

SnrMethod against(double snr, double multiple)
{
    return {snr, multiple != 0 ? 100 * (snr - multiple) / multiple : 0.0};
}

// The mask the corners must keep clear of: the phantom, or the ROI without one, grown by the margin.
std::vector<char> grownPhantom(const Roi& roi, int columns, int rows)
{
    const std::vector<char>& body = roi.phantom.empty() ? roi.inside : roi.phantom;
    std::vector<char> grown(body.size(), 0);
    const auto at = [columns](int x, int y) { return static_cast<std::size_t>(y) * static_cast<std::size_t>(columns) + static_cast<std::size_t>(x); };
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x)
            if (body[at(x, y)])
                for (int v = std::max(0, y - PhantomMargin); v <= std::min(rows - 1, y + PhantomMargin); ++v)
                    for (int u = std::max(0, x - PhantomMargin); u <= std::min(columns - 1, x + PhantomMargin); ++u)
                        grown[at(u, v)] = 1;
    return grown;
}

// The pixels of the corner squares clear of the phantom, and how many corners those are.
std::pair<std::vector<std::size_t>, int> background(const Roi& roi, int columns, int rows)
{
    const std::vector<char> phantom = grownPhantom(roi, columns, rows);
    const int w = columns / 8, h = rows / 8;
    std::vector<std::size_t> pixels;
    int corners = 0;
    for (const auto& [x0, y0] : {std::pair{0, 0}, {columns - w, 0}, {0, rows - h}, {columns - w, rows - h}}) {
        std::vector<std::size_t> square;
        bool clear = w > 0 && h > 0;
        for (int y = y0; y < y0 + h && clear; ++y)
            for (int x = x0; x < x0 + w && clear; ++x) {
                const std::size_t p = static_cast<std::size_t>(y) * static_cast<std::size_t>(columns) + static_cast<std::size_t>(x);
                clear = !phantom[p];
                square.push_back(p);
            }
        if (!clear) continue;
        ++corners;
        pixels.insert(pixels.end(), square.begin(), square.end());
    }
    return {pixels, corners};
}

// Why the background of image 1 cannot give the noise; empty when it can.
std::string backgroundFault(int corners, double negativeShare, double zeroShare, double storedSd)
{
    if (corners < 2)
        return std::to_string(corners) + " of the 4 corner squares lie clear of the phantom; the background methods need 2";
    if (negativeShare > MostZeros)
        return figureText(100 * negativeShare) + " % of the background is below 0: not a magnitude image";
    if (zeroShare > MostZeros)
        return figureText(100 * zeroShare) + " % of the background is 0, as where a scanner zeroes it";
    if (storedSd < FewestSteps)
        return "the background SD is " + figureText(storedSd) +
               " stored steps, too few for rounding not to bias it";
    return {};
}

}  // namespace

SnrMethods snrMethods(std::span<const double> first, std::span<const double> second, int columns, const Roi& roi,
                      const std::optional<Rescale>& rescale, double multiple)
{
    const double slope = rescale ? rescale->slope : 1, intercept = rescale ? rescale->intercept : 0;
    const auto value = [&](double stored) { return stored * slope + intercept; };
    Moments signal, half, difference;
    for (std::size_t p = 0; p < first.size(); ++p)
        if (roi.inside[p]) {
            signal.add(value(first[p]));
            half.add((value(first[p]) + value(second[p])) / 2);
            difference.add((first[p] - second[p]) * slope);
        }
    SnrMethods methods;
    methods.multiple = against(multiple, multiple);
    methods.difference = against(half.mean() / (difference.sd() / std::sqrt(2.0)), multiple);

    const int rows = static_cast<int>(first.size() / static_cast<std::size_t>(columns));
    const auto [pixels, corners] = background(roi, columns, rows);
    Moments stored;
    double negatives = 0, zeros = 0;
    for (const std::size_t p : pixels) {
        stored.add(first[p]);
        negatives += first[p] < 0;
        zeros += first[p] == 0;
    }
    const double count = std::max(1.0, stored.count);
    const std::string fault =
        backgroundFault(corners, negatives / count, zeros / count, pixels.size() < 2 ? 0 : stored.sd());
    if (!fault.empty()) {
        methods.warnings.push_back("background SNR methods not given: " + fault);
        return methods;
    }
    methods.backgroundSd = against(RayleighSd * signal.mean() / (stored.sd() * std::fabs(slope)), multiple);
    methods.backgroundMean = against(signal.mean() / (value(stored.mean()) / RayleighMean), multiple);
    return methods;
}

nlohmann::json methodsJson(const SnrMethods& m)
{
    const auto method = [](const std::optional<SnrMethod>& s) {
        return s ? nlohmann::json{{"snr", s->snr}, {"percent_vs_multiple", s->percentVsMultiple}} : nlohmann::json(nullptr);
    };
    return {{"multiple", method(m.multiple)},
            {"difference", method(m.difference)},
            {"background_sd", method(m.backgroundSd)},
            {"background_mean", method(m.backgroundMean)}};
}

}  // namespace quelby
