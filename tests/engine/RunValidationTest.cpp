// The run measured against a phantom whose true SNR and g-factor are known.
//
// For N files with per-pixel noise σ (plus 1/12 from rounding samples to integers),
// the sample deviation s has E[1/s] = k(N)/σ and E[s] = c4(N)·σ, with
//   k(N)  = √((N−1)/2) · Γ((N−2)/2) / Γ((N−1)/2),
//   c4(N) = √(2/(N−1)) · Γ(N/2) / Γ((N−1)/2),
// and the mean is independent of s. So E[SNR] = k·S/σ and E[g] = k·c4·σ_B/(σ_A·√R).
// Per pixel SNR/E[SNR] has a relative spread of about 1/√(2(N−2)), and g/E[g] about
// √2 times that; averaged over P independent disc pixels the spread shrinks by √P.
// Five standard errors is the tolerance: with N = 64 and P ≈ 31,000 that is 0.26 %
// for the SNR and 0.36 % for g, while a divisor N instead of N − 1 moves the SNR by
// 0.8 %, a missing √ on R moves g by 29 % and swapped series move it by far more.
#include "run/MeasurementRun.h"
#include "NoRunView.h"
#include "PhantomSeries.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace quelby;

namespace {

double kFactor(int n) { return std::sqrt((n - 1) / 2.0) * std::exp(std::lgamma((n - 2) / 2.0) - std::lgamma((n - 1) / 2.0)); }
double c4Factor(int n) { return std::sqrt(2.0 / (n - 1)) * std::exp(std::lgamma(n / 2.0) - std::lgamma((n - 1) / 2.0)); }
double withRounding(double sigma) { return std::sqrt(sigma * sigma + 1.0 / 12.0); }

TEST(RunValidation, MeasuredSnrAndGFactorAgreeWithThePhantom)
{
    constexpr int N = 64;
    test::TempFolder tmp;
    PhantomSeries phantom;
    phantom.files = N;
    phantom.seed = 2026;
    writeDemo(tmp.str(), phantom);
    const PhantomSeries parallel = withParallelImaging(phantom);

    auto store = std::make_unique<MapStore>();
    test::NoRunView view;
    const std::string r = std::to_string(static_cast<int>(parallel.reduction));
    MeasurementRun({"60", "20", r, true, tmp.str() + "/SeriesA", tmp.str() + "/SeriesB"}, *store, view);

    double snrRatio = 0.0, gRatio = 0.0;
    int pixels = 0;
    for (int row = 0; row < ImageSide; ++row)
        for (int col = 0; col < ImageSide; ++col) {
            if (trueSignal(phantom, row, col) != phantom.signal) continue;
            const double sigmaA = withRounding(trueNoise(phantom, row, col));
            const double sigmaB = withRounding(trueNoise(parallel, row, col));
            snrRatio += store->SnrMapA[row][col] / (kFactor(N) * phantom.signal / sigmaA);
            const double expectedG = kFactor(N) * c4Factor(N) * sigmaB / (sigmaA * std::sqrt(parallel.reduction));
            gRatio += store->GFactorMap[row][col] / 100.0 / expectedG;
            ++pixels;
        }
    ASSERT_GT(pixels, 30000);
    snrRatio /= pixels;
    gRatio /= pixels;
    const double snrTolerance = 5.0 / std::sqrt(2.0 * (N - 2) * pixels);
    EXPECT_NEAR(snrRatio, 1.0, snrTolerance);
    EXPECT_NEAR(gRatio, 1.0, std::sqrt(2.0) * snrTolerance);
    EXPECT_LT(snrTolerance, 0.003);  // tight enough to tell N from N − 1
}

// A first run on the demo shows its maps inside the default scales: SNR 60 to
// 240 and g 0.6 to 2.4. With 32 files the SNR of a pixel spreads by about
// 1/√(2·30) = 13 %, so a few pixels of the parallel series near its lowest
// SNR (75) fall below 60; 99 % of the disc must lie inside.
TEST(RunValidation, TheDemoShowsItsMapsInsideTheDefaultScales)
{
    test::TempFolder tmp;
    const PhantomSeries demo;
    writeDemo(tmp.str(), demo);
    auto store = std::make_unique<MapStore>();
    test::NoRunView view;
    MeasurementRun({"60", "20", "2", true, tmp.str() + "/SeriesA", tmp.str() + "/SeriesB"}, *store, view);

    int pixels = 0, snrA = 0, snrB = 0, g = 0;
    double meanA = 0;
    for (int row = 0; row < ImageSide; ++row)
        for (int col = 0; col < 230; ++col) {  // left of the scale bar
            if (trueSignal(demo, row, col) != demo.signal) continue;
            ++pixels;
            meanA += store->SnrMapA[row][col];
            snrA += store->SnrMapA[row][col] >= 60 && store->SnrMapA[row][col] <= 240;
            snrB += store->SnrMapB[row][col] >= 60 && store->SnrMapB[row][col] <= 240;
            g += store->GFactorMap[row][col] >= 60 && store->GFactorMap[row][col] <= 240;
        }
    ASSERT_GT(pixels, 30000);
    EXPECT_NEAR(meanA / pixels, kFactor(demo.files) * demo.signal / withRounding(demo.sigma), 1.0);
    EXPECT_GT(snrA, 0.99 * pixels);
    EXPECT_GT(snrB, 0.99 * pixels);
    EXPECT_GT(g, 0.99 * pixels);
}

}  // namespace
