// The ROI figures against phantoms of known truth, in memory.
//
// Tolerances. For P pixels and N repetitions the pooled variance has about
// P(N − 1) degrees of freedom (fewer where the noise is correlated), so the
// ROI SNR spreads by 1/√(2P(N − 1)): 0.36 % for P = 600 and N = 64; its
// bias, from 1/√ of the variance, is of the same order squared. Averaged over
// 20 seeds 1 % is many standard errors. The jackknife interval covers the
// truth in 95 % of trials up to its own error; over 200 trials the coverage
// itself spreads by √(0.95 · 0.05 / 200) = 1.5 %, so 95 ± 3 % is two of those.
// The drift slope of N ROI means each of relative error 1/(SNR √P) is known
// to far better than 0.2 points. g per pixel is biased by k(N)·c4(N) ≈ 1.008
// at N = 64 (see RunValidationTest); 2 % leaves room for that and the spread.
#include "GaussianNoise.h"
#include "qa/RoiStatistics.h"
#include "engine/core/InputError.h"
#include "qa/SnrMethods.h"
#include "qa/StackFigures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iostream>

using namespace quelby;

namespace {

struct Phantom {
    int side = 64;
    double cx = 31.5, cy = 31.5, radius = 24;
    double signal = 1000, sigma = 10;
    int repetitions = 64;
    std::uint64_t seed = 1;
    bool correlated = false;
    // Added to the signal of repetition k at column x, row y.
    std::function<double(int k, double x, double y)> shift;
    // Multiplies the noise at column x, row y.
    std::function<double(double x, double y)> noiseScale;
};

bool inDisc(const Phantom& ph, int x, int y)
{
    return (x - ph.cx) * (x - ph.cx) + (y - ph.cy) * (y - ph.cy) <= ph.radius * ph.radius;
}

// A phantom's repetitions in memory, one slice, as a stack reads them.
struct MemorySeries {
    Stack stack;
    std::vector<std::vector<unsigned char>> images;

    MeasuredStack measure(const RoiRequest& request, Detrend detrend = Detrend::None) const
    {
        const ImageSupplier supply = [&](const ImageRef& image, std::span<unsigned char> into) {
            std::copy(images[image.file].begin(), images[image.file].end(), into.begin());
            return SampleKind::Uint16;
        };
        return measureStackFigures(stack, supply, true, request, {}, detrend);
    }
};

MemorySeries makeSeries(const Phantom& ph)
{
    MemorySeries s;
    s.stack.keys.rows = s.stack.keys.columns = ph.side;
    s.stack.slices.resize(1);
    GaussianNoise noise(ph.seed);
    const std::size_t pixels = static_cast<std::size_t>(ph.side) * static_cast<std::size_t>(ph.side);
    std::vector<double> white(pixels);
    for (int k = 0; k < ph.repetitions; ++k) {
        s.stack.slices[0].repetitions.push_back({static_cast<std::uint32_t>(k), 0});
        std::vector<unsigned char>& image = s.images.emplace_back();
        for (double& w : white) w = noise.next();
        for (std::size_t p = 0; p < pixels; ++p) {
            const int x = static_cast<int>(p) % ph.side, y = static_cast<int>(p) / ph.side;
            double n = white[p];
            if (ph.correlated) {  // three neighbours in a row and their rows: a 3 × 3 box of unit variance
                n = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        n += white[static_cast<std::size_t>((y + dy + ph.side) % ph.side * ph.side + (x + dx + ph.side) % ph.side)] / 3;
            }
            double v = inDisc(ph, x, y) ? ph.signal : 0.0;
            if (inDisc(ph, x, y) && ph.shift) v += ph.shift(k, x, y);
            v += ph.sigma * (ph.noiseScale ? ph.noiseScale(x, y) : 1.0) * n;
            const auto sample = static_cast<std::uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
            image.push_back(static_cast<unsigned char>(sample & 0xFF));
            image.push_back(static_cast<unsigned char>(sample >> 8));
        }
    }
    return s;
}

double truthSnr(const Phantom& ph) { return ph.signal / std::sqrt(ph.sigma * ph.sigma + 1.0 / 12); }

TEST(RoiStatistics, SnrAndItsIntervalAgreeWithTheTruth)
{
    for (const bool correlated : {false, true}) {
        SCOPED_TRACE(correlated ? "correlated noise" : "independent noise");
        double ratio = 0;
        int covered = 0;
        constexpr int Trials = 200;
        for (int trial = 0; trial < Trials; ++trial) {
            Phantom ph;
            ph.side = 40;
            ph.cx = ph.cy = 19.5;
            ph.radius = 16;
            ph.seed = 1000 + static_cast<std::uint64_t>(trial);
            ph.correlated = correlated;
            const SeriesStatistics st = makeSeries(ph).measure(parseRoi("circle:19.5,19.5,14")).slices[0].statistics;
            // The truth of a correlated field: the box keeps the variance, so the same.
            const double truth = truthSnr(ph);
            if (trial < 20) ratio += st.snr / truth / 20;
            covered += (*st.snrCi95)[0] <= truth && truth <= (*st.snrCi95)[1];
        }
        std::cout << (correlated ? "correlated" : "independent") << " noise: mean ROI SNR / truth " << ratio
                  << ", interval covers the truth in " << covered << " of " << Trials << " trials\n";
        EXPECT_NEAR(ratio, 1.0, 0.01);
        EXPECT_NEAR(covered / double(Trials), 0.95, 0.03);
    }
}

TEST(RoiStatistics, TheAutoRoiIsThreeQuartersOfThePhantomAroundItsCentre)
{
    struct Row {
        int side;
        double cx, cy, radius;
    };
    for (const Row& row : {Row{64, 31.5, 31.5, 24}, Row{64, 20, 40, 14}, Row{512, 300, 200, 150}}) {
        SCOPED_TRACE(row.side);
        std::vector<double> signal;
        GaussianNoise noise(7);
        double discPixels = 0;
        for (int y = 0; y < row.side; ++y)
            for (int x = 0; x < row.side; ++x) {
                const bool in = (x - row.cx) * (x - row.cx) + (y - row.cy) * (y - row.cy) <= row.radius * row.radius;
                discPixels += in;
                signal.push_back((in ? 1000 : 0) + 3 * noise.next());
            }
        const Roi roi = makeRoi(RoiRequest{}, signal, row.side, row.side);
        EXPECT_NEAR(roi.pixels / discPixels, 0.75, 0.02);
        EXPECT_NEAR(roi.centreX, row.cx, 1.0);
        EXPECT_NEAR(roi.centreY, row.cy, 1.0);
    }
    const std::vector<double> empty(256, 0.0);
    EXPECT_THROW(makeRoi(RoiRequest{}, empty, 16, 16), InputError);
    EXPECT_THROW(makeRoi(parseRoi("circle:8,8,9"), empty, 16, 16), InputError);
    EXPECT_THROW(makeRoi(parseRoi("rect:0,0,16,3"), empty, 16, 16), InputError);
    EXPECT_EQ(makeRoi(parseRoi("rect:2,3,5,4"), empty, 16, 16).pixels, 8u);
}

TEST(RoiStatistics, DriftAndTheLinearDetrend)
{
    Phantom ph;
    ph.sigma = 5;  // SNR 200
    ph.shift = [&](int k, double, double) { return ph.signal * 0.02 * k / (ph.repetitions - 1); };
    const SeriesStatistics st = makeSeries(ph).measure(RoiRequest{}, Detrend::Linear).slices[0].statistics;
    const double truth = st.meanSignal / std::sqrt(ph.sigma * ph.sigma + 1.0 / 12);
    EXPECT_NEAR(st.driftPercentTotal, 2.0 / 1.01, 0.2);  // of the mean, which the drift lifts by 1 %
    EXPECT_LT(st.snr, 0.7 * truth);
    EXPECT_NEAR(*st.snrDetrended / truth, 1.0, 0.015);
}

TEST(RoiStatistics, TheSmoothDetrendRemovesShiftsBetweenRepetitions)
{
    for (const int n : {2, 16})
        for (const bool varying : {false, true}) {
            SCOPED_TRACE(std::to_string(n) + (varying ? " repetitions, shifts varying across" : " repetitions"));
            Phantom ph;
            ph.sigma = 5;
            ph.repetitions = n;
            ph.seed = 77;
            std::vector<double> amount(static_cast<std::size_t>(n));
            GaussianNoise random(5);
            for (double& a : amount) a = 0.005 * ph.signal * random.next();
            ph.shift = [&](int k, double x, double) {
                return amount[static_cast<std::size_t>(k)] * (varying ? 0.5 + x / ph.side : 1.0);
            };
            const MemorySeries s = makeSeries(ph);
            const SeriesStatistics st = s.measure(RoiRequest{}, Detrend::Smooth).slices[0].statistics;
            const double truth = st.meanSignal / std::sqrt(ph.sigma * ph.sigma + 1.0 / 12);
            EXPECT_LT(st.snr, 0.9 * truth);
            EXPECT_NEAR(*st.snrDetrended / truth, 1.0, 0.02);
            EXPECT_NE(shiftWarning(s.measure(RoiRequest{}).slices[0].statistics).find("--detrend smooth"),
                      std::string::npos);
        }
}

TEST(RoiStatistics, GFactorInTheRoi)
{
    Phantom a;
    a.sigma = 5;
    Phantom b = a;
    b.seed = 2;
    const auto g = [&](double x, double) { return 1.0 + (x - (a.cx - a.radius)) / (2 * a.radius); };
    b.noiseScale = [&](double x, double y) { return g(x, y) * std::sqrt(2.0); };
    const MeasuredStack measuredA = makeSeries(a).measure(RoiRequest{}), measuredB = makeSeries(b).measure(RoiRequest{});
    const SliceMaps &mapsA = measuredA.slices[0].maps, &mapsB = measuredB.slices[0].maps;
    const Roi& roi = measuredA.slices[0].roi;
    const std::vector<double> gMap = gFactorMap(mapsA.snr, mapsB.snr, 2.0);
    double truth = 0;
    for (std::size_t p = 0; p < gMap.size(); ++p)
        if (roi.inside[p]) truth += g(static_cast<double>(p % 64), 0) / static_cast<double>(roi.pixels);
    const GFactorSummary summary = gFactorSummary(gMap, mapsA.snr, 64, roi, 1);
    EXPECT_NEAR(summary.mean / truth, 1.0, 0.02);
    EXPECT_EQ(summary.maskedFraction, 0.0);
    EXPECT_GT(summary.p95, summary.median);
    EXPECT_GE(summary.max, summary.p95);
    // Blocks weigh as their pixels: the mean stays, the outliers average out.
    for (const int pool : {2, 3, 4, 7}) {
        SCOPED_TRACE("pool " + std::to_string(pool));
        const GFactorSummary pooled = gFactorSummary(gMap, mapsA.snr, 64, roi, pool);
        EXPECT_LT(pooled.values, summary.values);
        EXPECT_NEAR(pooled.mean / summary.mean, 1.0, 1e-12);
        EXPECT_LE(pooled.p95, summary.p95);
        EXPECT_LE(pooled.max, summary.max);
    }
}

// The methods of each slice come from its first two repetitions in acquisition order, whichever files hold them.
TEST(RoiStatistics, TheSnrMethodsTakeTheFirstTwoRepetitions)
{
    for (const int n : {2, 40}) {
        SCOPED_TRACE(std::to_string(n) + " repetitions");
        Phantom ph;
        ph.repetitions = n;
        MemorySeries s = makeSeries(ph);
        std::vector<ImageRef>& order = s.stack.slices[0].repetitions;
        std::reverse(order.begin(), order.end());
        const SliceResult slice = s.measure(RoiRequest{}).slices[0];
        const auto values = [&](std::size_t file) {
            std::vector<double> v;
            for (std::size_t p = 0; p < s.images[file].size(); p += 2)
                v.push_back(s.images[file][p] | s.images[file][p + 1] << 8);
            return v;
        };
        const auto last = static_cast<std::size_t>(n - 1);
        const SnrMethods direct =
            snrMethods(values(last), values(last - 1), ph.side, slice.roi, std::nullopt, slice.statistics.snr);
        ASSERT_TRUE(slice.methods);
        EXPECT_EQ(slice.methods->multiple.snr, slice.statistics.snr);
        EXPECT_EQ(slice.methods->difference.snr, direct.difference.snr);
        EXPECT_EQ(slice.methods->warnings, direct.warnings);
    }
}

}  // namespace
