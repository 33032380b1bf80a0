#include "engine/io/FolderReader.h"
#include "PhantomCommand.h"
#include "PhantomSeries.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace quelby {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

Bytes fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

PhantomSeries smallSeries(std::uint64_t seed, int header = 0)
{
    PhantomSeries series;
    series.files = 3;
    series.seed = seed;
    series.headerBytes = header;
    return series;
}

TEST(PhantomSeries, TheSameSeedGivesTheSameBytes)
{
    test::TempFolder folder;
    writePhantomSeries(folder.str() + "/one", smallSeries(7));
    writePhantomSeries(folder.str() + "/two", smallSeries(7));
    writePhantomSeries(folder.str() + "/other", smallSeries(8));
    for (int i = 1; i <= 3; ++i) {
        const std::string name = "/" + phantomFileName(i);
        const Bytes one = fileBytes(folder.str() + "/one" + name);
        EXPECT_EQ(one.size(), static_cast<std::size_t>(ImageBytes));
        EXPECT_EQ(one, fileBytes(folder.str() + "/two" + name)) << name;
        EXPECT_NE(one, fileBytes(folder.str() + "/other" + name)) << name;
    }
    EXPECT_NE(fileBytes(folder.str() + "/one/img0001.raw"), fileBytes(folder.str() + "/one/img0002.raw"));
    EXPECT_FALSE(fs::exists(folder.str() + "/one/img0004.raw"));
}

TEST(PhantomSeries, TheHeaderComesBeforeTheSameImage)
{
    GaussianNoise plainNoise(3);
    const Bytes plain = phantomFileBytes(smallSeries(3), plainNoise);
    for (int header : {1, 512, 4097}) {
        SCOPED_TRACE(header);
        GaussianNoise noise(3);
        const Bytes bytes = phantomFileBytes(smallSeries(3, header), noise);
        ASSERT_EQ(bytes.size(), static_cast<std::size_t>(header + ImageBytes));
        EXPECT_EQ(std::count(bytes.begin(), bytes.begin() + header, PhantomHeaderByte), header);
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), bytes.begin() + header));
    }
}

TEST(PhantomSeries, SamplesAreLittleEndianRowByRow)
{
    GaussianNoise imageNoise(5);
    const std::vector<std::int16_t> image = phantomImage(smallSeries(5), imageNoise);
    GaussianNoise fileNoise(5);
    const Bytes bytes = phantomFileBytes(smallSeries(5), fileNoise);
    ASSERT_EQ(image.size(), static_cast<std::size_t>(FramePixels));
    for (int i = 0; i < FramePixels; ++i)
        ASSERT_EQ(static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8), image[i]) << i;
    // Row 0 is outside the disc, the centre inside.
    EXPECT_LT(std::abs(image[0]), 200);
    EXPECT_GT(image[128 * ImageSide + 128], 800);
}

TEST(PhantomSeries, SamplesRoundToTheNearestAndClamp)
{
    const std::pair<double, int> cases[] = {{1.4, 1},       {1.5, 2},         {-1.5, -2},      {-0.4, 0},
                                            {32766.6, 32767}, {40000.0, 32767}, {-32768.4, -32768}, {-1e9, -32768}};
    for (const auto& [value, sample] : cases) EXPECT_EQ(toSample(value), sample) << value;
}

// Per-pixel mean and variance over the files of a series, read back through
// the folder reader as a measurement would.
struct PixelStatistics {
    std::vector<double> mean, variance;
};

PixelStatistics measure(const std::string& folder, int files)
{
    std::vector<double> sum(FramePixels), squares(FramePixels);
    ImageBytesBuffer buffer;
    ReadImageFolder(
        folder, buffer, [] {},
        [&](int r, int c, double v) {
            sum[r * ImageSide + c] += v;
            squares[r * ImageSide + c] += v * v;
        },
        [] {});
    PixelStatistics s{std::vector<double>(FramePixels), std::vector<double>(FramePixels)};
    for (int i = 0; i < FramePixels; ++i) {
        s.mean[i] = sum[i] / files;
        s.variance[i] = (squares[i] - sum[i] * s.mean[i]) / (files - 1);
    }
    return s;
}

// Over the pixels inside the disc: mean of (mean − S) / σ_p and of variance / σ_p².
// With N files and P pixels the first has standard error 1/√(NP); the second,
// for Gaussian noise, √(2 / ((N − 1) P)), shifted by about 1/(12 σ_p²) from
// rounding to integers. The tests allow five standard errors.
void expectTrueStatistics(const PhantomSeries& series, const std::string& folder)
{
    const PixelStatistics s = measure(folder, series.files);
    double meanError = 0.0, varianceRatio = 0.0, rounding = 0.0, outside = 0.0;
    int inside = 0;
    for (int r = 0; r < ImageSide; ++r)
        for (int c = 0; c < ImageSide; ++c) {
            const int i = r * ImageSide + c;
            const double sigma = trueNoise(series, r, c);
            if (trueSignal(series, r, c) != series.signal) {
                outside += s.mean[i] / sigma;
                continue;
            }
            ++inside;
            meanError += (s.mean[i] - series.signal) / sigma;
            varianceRatio += s.variance[i] / (sigma * sigma);
            rounding += 1.0 / (12.0 * sigma * sigma);
        }
    const double n = series.files;
    ASSERT_GT(inside, 30000);
    EXPECT_NEAR(meanError / inside, 0.0, 5.0 / std::sqrt(n * inside));
    EXPECT_NEAR(varianceRatio / inside, 1.0 + rounding / inside, 5.0 * std::sqrt(2.0 / ((n - 1) * inside)));
    EXPECT_NEAR(outside / (FramePixels - inside), 0.0, 5.0 / std::sqrt(n * (FramePixels - inside)));
}

TEST(PhantomSeries, ASeriesHasTheStatedSignalAndNoise)
{
    test::TempFolder folder;
    PhantomSeries series;
    series.headerBytes = 512;
    writePhantomSeries(folder.str(), series);
    expectTrueStatistics(series, folder.str());
}

TEST(PhantomSeries, TheDemoWritesBothSeriesWithTheirNoise)
{
    test::TempFolder folder;
    const PhantomSeries demo;
    writeDemo(folder.str(), demo);
    EXPECT_EQ(CountImageFiles(folder.str() + "/SeriesA"), 32);
    EXPECT_EQ(CountImageFiles(folder.str() + "/SeriesB"), 32);
    expectTrueStatistics(demo, folder.str() + "/SeriesA");
    const PhantomSeries parallel = withParallelImaging(demo);
    EXPECT_NE(parallel.seed, demo.seed);
    expectTrueStatistics(parallel, folder.str() + "/SeriesB");
    EXPECT_NEAR(trueSnr(demo, 128, 128) / (trueSnr(parallel, 128, 128) * std::sqrt(2.0)), trueGFactor(128, 128),
                1e-12);
}

TEST(PhantomCommand, ReadsTheOptions)
{
    const PhantomCommand demo = parsePhantomCommand({"--demo", "build/demo"});
    EXPECT_EQ(demo.kind, PhantomCommand::Kind::Demo);
    EXPECT_EQ(demo.folder, "build/demo");
    EXPECT_EQ(demo.series.files, 32);
    EXPECT_EQ(demo.series.signal, 1600.0);
    EXPECT_EQ(demo.series.sigma, 10.0);
    EXPECT_EQ(demo.series.reduction, 2.0);

    const PhantomCommand series = parsePhantomCommand({"--out", "x", "--files", "5", "--signal", "800.5", "--sigma",
                                                       "0", "--header", "3", "--seed", "18446744073709551615",
                                                       "--reduction", "3", "--parallel"});
    EXPECT_EQ(series.kind, PhantomCommand::Kind::Series);
    EXPECT_EQ(series.folder, "x");
    EXPECT_EQ(series.series.files, 5);
    EXPECT_EQ(series.series.signal, 800.5);
    EXPECT_EQ(series.series.sigma, 0.0);
    EXPECT_EQ(series.series.headerBytes, 3);
    EXPECT_EQ(series.series.seed, 18446744073709551615ULL);
    EXPECT_EQ(series.series.reduction, 3.0);
    EXPECT_TRUE(series.series.parallel);

    EXPECT_EQ(parsePhantomCommand({"--help"}).kind, PhantomCommand::Kind::Help);
}

TEST(PhantomCommand, RefusesBadArguments)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--files", "3"},
        {"--demo"},
        {"--demo", ""},
        {"--demo", "a", "--out", "b"},
        {"--out", "b", "--demo", "a"},
        {"--demo", "a", "--parallel"},
        {"--out", "a", "--files", "0"},
        {"--out", "a", "--files", "10000"},
        {"--out", "a", "--files", "3x"},
        {"--out", "a", "--files", ""},
        {"--out", "a", "--sigma", "-1"},
        {"--out", "a", "--sigma", "nan"},
        {"--out", "a", "--signal", "inf"},
        {"--out", "a", "--reduction", "0"},
        {"--out", "a", "--header", "-2"},
        {"--out", "a", "--seed", "-1"},
        {"--out", "a", "--bogus"},
        {"stray"},
    };
    for (const auto& args : cases) {
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_THROW(parsePhantomCommand(args), PhantomUsageError) << line;
    }
}

}  // namespace
}  // namespace quelby
