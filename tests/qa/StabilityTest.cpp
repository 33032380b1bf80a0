// The stability figures against series of known truth, in memory.
//
// Tolerances. A pixel's fluctuation has T − 3 degrees of freedom, so a
// percent fluctuation spreads by 1/√(2(T − 3)): 3.5 % at T = 400, and RDC, a
// ratio of two, by about 5 %; 15 % is three of those. The SFNR averages 625
// pixels, so 2 % leaves room for the bias of 1/σ (0.2 %). The static SNR
// takes the variance of 625 pixels: 2.8 %, so 10 %. The fit's linear and
// quadratic terms of a course of noise F (in %) span about 2·√(3/T)·F and
// 2·√(5/T)·F, so the drift lies within 3 · 2·√(5/T)·F of the one imposed.
#include "GaussianNoise.h"
#include "engine/core/InputError.h"
#include "qa/FourierMagnitudes.h"
#include "qa/StabilityFigures.h"
#include "qa/StabilityPicture.h"

#include <QImage>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace quelby;

namespace {

using Frame = std::vector<std::int32_t>;

// Frames of every slice in memory, as a stack reads them.
struct MemorySeries {
    int width = 0, height = 0;
    std::vector<std::vector<Frame>> frames;  // [slice][t]
    std::optional<Rescale> rescale;

    Stack stack() const
    {
        Stack s;
        s.keys.columns = width;
        s.keys.rows = height;
        s.rescale = rescale;
        for (std::size_t k = 0; k < frames.size(); ++k) {
            s.slices.emplace_back();
            for (std::size_t t = 0; t < frames[k].size(); ++t)
                s.slices.back().repetitions.push_back({static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(t)});
        }
        return s;
    }

    StabilityResult measure(bool applyRescale, int roiWidth, int skip) const
    {
        const ImageSupplier supply = [&](const ImageRef& image, std::span<unsigned char> into) {
            const Frame& f = frames[image.file][image.frame];
            const bool wide = *std::max_element(f.begin(), f.end()) > 32767;
            for (std::size_t p = 0; p < f.size(); ++p) {
                into[2 * p] = static_cast<unsigned char>(f[p] & 0xff);
                into[2 * p + 1] = static_cast<unsigned char>((f[p] >> 8) & 0xff);
            }
            return wide ? SampleKind::Uint16 : SampleKind::Int16;
        };
        return measureStability(stack(), supply, applyRescale, roiWidth, skip);
    }
};

// value(slice, t, x, y), rounded.
MemorySeries makeSeries(int width, int height, int slices, int frames,
                        const std::function<double(int, int, int, int)>& value)
{
    MemorySeries s{width, height, {}, {}};
    s.frames.assign(static_cast<std::size_t>(slices), std::vector<Frame>(static_cast<std::size_t>(frames)));
    for (int k = 0; k < slices; ++k)
        for (int t = 0; t < frames; ++t)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    s.frames[static_cast<std::size_t>(k)][static_cast<std::size_t>(t)].push_back(
                        static_cast<std::int32_t>(std::lround(value(k, t, x, y))));
    return s;
}

// The least-squares quadratic in t by its normal equations, in long double.
std::vector<long double> quadraticFit(const std::vector<long double>& y)
{
    long double m[3][4] = {};
    for (std::size_t t = 0; t < y.size(); ++t) {
        const long double p[3] = {1, static_cast<long double>(t), static_cast<long double>(t) * t};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) m[i][j] += p[i] * p[j];
            m[i][3] += p[i] * y[t];
        }
    }
    for (int i = 0; i < 3; ++i)
        for (int r = 0; r < 3; ++r)
            if (r != i) {
                const long double f = m[r][i] / m[i][i];
                for (int c = 0; c < 4; ++c) m[r][c] -= f * m[i][c];
            }
    std::vector<long double> fit;
    for (std::size_t t = 0; t < y.size(); ++t)
        fit.push_back(m[0][3] / m[0][0] + m[1][3] / m[1][1] * t + m[2][3] / m[2][2] * t * t);
    return fit;
}

long double meanOf(const std::vector<long double>& v)
{
    long double s = 0;
    for (const long double x : v) s += x;
    return s / v.size();
}

long double residualSd(const std::vector<long double>& y)
{
    const std::vector<long double> fit = quadraticFit(y);
    long double s = 0;
    for (std::size_t t = 0; t < y.size(); ++t) s += (y[t] - fit[t]) * (y[t] - fit[t]);
    return std::sqrt(s / (y.size() - 3));
}

struct ExactCase {
    const char* name;
    int frames, skip, roiWidth;
    double base;  // of the block
    std::optional<Rescale> rescale;
    bool applyRescale;
    bool moving;       // the block moves after the first frames: the squares come from a second pass
    int centreX, centreY;
};

class StabilityExact : public ::testing::TestWithParam<ExactCase> {};

// Every map value and figure against the definitions computed directly.
TEST_P(StabilityExact, MatchesTheDefinitions)
{
    const ExactCase c = GetParam();
    const int width = 24, height = 20;
    GaussianNoise noise(7);
    // A block over columns 3 … 8 and rows 2 … 6 (centroid 5.5, 4), or 13 … 18 from frame skip + 8 on.
    MemorySeries series = makeSeries(width, height, 2, c.frames, [&](int k, int t, int x, int y) {
        const int shift = c.moving && t >= c.skip + 8 ? 10 : 0;
        const bool block = x >= 3 + shift && x <= 8 + shift && y >= 2 && y <= 6;
        return (block ? c.base + 50 * k + 3.0 * t - 0.4 * t * t : 100) + 20 * noise.next();
    });
    series.rescale = c.rescale;
    const StabilityResult r = series.measure(c.applyRescale, c.roiWidth, c.skip);
    const Rescale rs = c.applyRescale ? c.rescale.value_or(Rescale{}) : Rescale{};
    const int frames = c.frames - c.skip, even = frames - frames % 2;
    ASSERT_EQ(r.maps.frames, frames);
    ASSERT_EQ(r.figures.size(), 2u);
    const auto near = [](double got, long double want) { EXPECT_NEAR(got, want, 1e-9 * (1 + std::fabs(want))); };
    for (std::size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        const auto value = [&](int t, int x, int y) {
            return series.frames[k][static_cast<std::size_t>(t + c.skip)][static_cast<std::size_t>(y * width + x)] *
                       static_cast<long double>(rs.slope) + rs.intercept;
        };
        const StabilitySlice& m = r.maps.slices[k];
        for (int p = 0; p < width * height; ++p) {
            std::vector<long double> y;
            long double evenOdd = 0;
            for (int t = 0; t < frames; ++t) {
                y.push_back(value(t, p % width, p / width));
                if (t < even) evenOdd += (t % 2 ? -1 : 1) * (y.back() - rs.intercept);
            }
            const long double fluctuation = residualSd(y);
            near(m.signal[p], meanOf(y));
            near(m.fluctuation[p], fluctuation);
            near(m.sfnr[p], meanOf(y) / fluctuation);
            near(m.staticNoise[p], evenOdd);
        }
        const StabilityFigures& f = r.figures[k];
        EXPECT_EQ(f.centreX, c.centreX);
        EXPECT_EQ(f.centreY, c.centreY);
        std::vector<long double> weisskoff;
        for (int n = 1; n <= c.roiWidth; ++n) {
            std::vector<long double> course;
            for (int t = 0; t < frames; ++t) {
                long double s = 0;
                for (int y = f.centreY - n / 2; y < f.centreY - n / 2 + n; ++y)
                    for (int x = f.centreX - n / 2; x < f.centreX - n / 2 + n; ++x) s += value(t, x, y);
                course.push_back(s / (n * n));
            }
            weisskoff.push_back(100 * residualSd(course) / meanOf(course));
            near(f.weisskoff[static_cast<std::size_t>(n - 1)], weisskoff.back());
            if (n < c.roiWidth) continue;
            const std::vector<long double> fit = quadraticFit(course);
            near(f.driftPercent, 100 * (*std::max_element(fit.begin(), fit.end()) - *std::min_element(fit.begin(), fit.end())) /
                                     meanOf(course));
            long double sfnr = 0, signal = 0, staticMean = 0, staticSquares = 0;
            const long double pixels = n * n;
            for (int y = f.centreY - n / 2; y < f.centreY - n / 2 + n; ++y)
                for (int x = f.centreX - n / 2; x < f.centreX - n / 2 + n; ++x) {
                    const std::size_t p = static_cast<std::size_t>(y * width + x);
                    sfnr += m.sfnr[p] / pixels;
                    signal += m.signal[p] / pixels;
                    staticMean += m.staticNoise[p] / pixels;
                }
            for (int y = f.centreY - n / 2; y < f.centreY - n / 2 + n; ++y)
                for (int x = f.centreX - n / 2; x < f.centreX - n / 2 + n; ++x) {
                    const long double d = m.staticNoise[static_cast<std::size_t>(y * width + x)] - staticMean;
                    staticSquares += d * d;
                }
            near(f.sfnr, sfnr);
            near(f.signal, signal);
            near(f.snr, signal / std::sqrt(staticSquares / (pixels - 1) / even));
        }
        near(f.percentFluctuation, weisskoff.back());
        near(f.rdc, weisskoff.front() / weisskoff.back());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StabilityExact,
    ::testing::Values(ExactCase{"OddFramesEvenRoiRescaled", 9, 2, 4, 1000, Rescale{2, -5}, true, false, 6, 4},
                      ExactCase{"LargeUnsignedValuesStored", 10, 0, 3, 60000, Rescale{3, 7}, false, false, 6, 4},
                      ExactCase{"CentroidLeavesTheFirstFramesSquares", 20, 1, 5, 1000, Rescale{1.5, 3}, true, true, 11, 4}),
    [](const auto& info) { return std::string(info.param.name); });

struct Known {
    const char* name;
    double sigma, common;  // independent noise per pixel, and a fluctuation shared by the whole phantom
    double drift;          // the phantom's signal changes by this share over the series, quadratically
};

class StabilityKnown : public ::testing::TestWithParam<Known> {};

TEST_P(StabilityKnown, FiguresMeetTheirTruth)
{
    const Known c = GetParam();
    const int side = 48, frames = 400, n = 25;
    const double signal = 1000;
    GaussianNoise noise(11), common(12);
    std::vector<double> shared(frames);
    for (double& v : shared) v = c.common * common.next();
    const auto course = [&](double t) { return signal * (1 + c.drift * (t / (frames - 1)) * (t / (frames - 1))); };
    const MemorySeries series = makeSeries(side, side, 1, frames, [&](int, int t, int x, int y) {
        const bool disc = (x - 23.5) * (x - 23.5) + (y - 23.5) * (y - 23.5) <= 20 * 20;
        return (disc ? course(t) + shared[static_cast<std::size_t>(t)] : 0) + c.sigma * noise.next();
    });
    const StabilityFigures f = series.measure(true, n, 0).figures[0];
    const double sigma = std::sqrt(c.sigma * c.sigma + 1.0 / 12);  // and the rounding's
    double mean = 0;
    for (int t = 0; t < frames; ++t) mean += course(t) / frames;
    const auto fluctuation = [&](double w) { return 100 * std::sqrt(c.common * c.common + sigma * sigma / (w * w)) / mean; };
    EXPECT_EQ(f.centreX, 24);
    EXPECT_EQ(f.centreY, 24);
    EXPECT_NEAR(f.sfnr / (mean / sigma), 1, 0.02);
    EXPECT_NEAR(f.snr / (mean / sigma), 1, 0.10);
    EXPECT_NEAR(f.driftPercent, 100 * (course(frames - 1) - course(0)) / mean, 6 * std::sqrt(5.0 / frames) * fluctuation(n));
    EXPECT_NEAR(f.percentFluctuation / fluctuation(n), 1, 0.15);
    EXPECT_NEAR(f.rdc / (fluctuation(1) / fluctuation(n)), 1, 0.15);
    ASSERT_EQ(f.weisskoff.size(), static_cast<std::size_t>(n));
}

INSTANTIATE_TEST_SUITE_P(Cases, StabilityKnown,
                         ::testing::Values(Known{"IndependentNoiseAndDrift", 5, 0, 0.01},
                                           Known{"CommonFluctuation", 5, 1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Stability, RefusesWhatCannotBeMeasured)
{
    const struct {
        int frames, skip, roiWidth;
        double blockX;  // the bright block's left column
        const char* says;
    } cases[] = {
        {10, 7, 3, 8, "3 frame(s) after skipping 7"},
        {10, 0, 0, 8, "ROI of 0 pixels"},
        {10, 0, 21, 8, "does not fit the 20 × 16 matrix"},
        {10, 0, 7, 0, "about column 1, row 8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const MemorySeries series = makeSeries(20, 16, 1, c.frames, [&](int, int t, int x, int) {
            return x >= c.blockX && x < c.blockX + 3 ? 500 + t % 3 : 10;
        });
        try {
            series.measure(true, c.roiWidth, c.skip);
            ADD_FAILURE() << "measured";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

// Figures of a series without signal or noise are not formed: null, and an empty column.
TEST(Stability, FiguresNotFormedAreNullAndEmpty)
{
    const MemorySeries flat = makeSeries(8, 8, 1, 6, [](int, int, int, int) { return 0.0; });
    const StabilityFigures f = flat.measure(true, 3, 0).figures[0];
    const nlohmann::json j = stabilityJson(f);
    EXPECT_EQ(j["sfnr"], 0.0);
    for (const char* key : {"signal", "sfnr"}) EXPECT_TRUE(j[key].is_number()) << key;
    for (const char* key : {"snr", "percent_fluctuation", "drift_percent", "rdc"}) EXPECT_TRUE(j[key].is_null()) << key;
    EXPECT_EQ(j["weisskoff"], nlohmann::json::parse("[[1, null], [2, null], [3, null]]"));
    EXPECT_EQ(j["centre"], nlohmann::json::parse("[4, 4]"));
    const auto columns = stabilityColumns(f);
    ASSERT_EQ(columns.size(), 5u);
    EXPECT_EQ(columns[0].first, "sfnr");
    EXPECT_TRUE(std::isfinite(columns[0].second));
    for (std::size_t k = 1; k < columns.size(); ++k) EXPECT_TRUE(std::isnan(columns[k].second)) << columns[k].first;
}

// The spectrum of a pure tone: its amplitude T/2 at its frequency, nothing elsewhere.
TEST(Stability, SpectrumOfATone)
{
    for (const int frames : {16, 17}) {
        std::vector<double> tone;
        for (int t = 0; t < frames; ++t) tone.push_back(3 * std::cos(2 * M_PI * 5 * t / frames));
        const std::vector<double> spectrum = amplitudeSpectrum(tone);
        ASSERT_EQ(spectrum.size(), static_cast<std::size_t>(frames / 2 + 1));
        for (std::size_t k = 0; k < spectrum.size(); ++k) EXPECT_NEAR(spectrum[k], k == 5 ? 1.5 * frames : 0, 1e-9) << k;
    }
}

TEST(Stability, PictureHasItsFourPanels)
{
    GaussianNoise noise(3);
    const MemorySeries series = makeSeries(32, 32, 1, 40, [&](int, int t, int x, int y) {
        return ((x - 15.5) * (x - 15.5) + (y - 15.5) * (y - 15.5) < 144 ? 800 + t : 0) + 4 * noise.next();
    });
    const StabilityResult r = series.measure(true, 9, 0);
    const std::vector<char> png = stabilityPicture(r.figures[0], r.maps.slices[0].sfnr, 32, 32, 2.0, "slice 0");
    QImage image;
    ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size()), "PNG"));
    // Each quarter holds something drawn in colour (the curves, the map).
    for (const QPoint corner : {QPoint(0, 28), QPoint(420, 28), QPoint(0, 348), QPoint(420, 348)}) {
        int coloured = 0;
        for (int y = corner.y(); y < corner.y() + 320; ++y)
            for (int x = corner.x(); x < corner.x() + 420; ++x) {
                const QColor c = image.pixelColor(x, y);
                coloured += c.red() != c.green() || c.green() != c.blue();
            }
        EXPECT_GT(coloured, 200) << corner.x() << "," << corner.y();
    }
}

}  // namespace
