#include "engine/core/CheckedFloat.h"
#include "engine/core/Failure.h"
#include "engine/io/FolderReader.h"
#include "run/MeasurementRun.h"
#include "NoRunView.h"
#include "engine/kernel/PixelArithmetic.h"
#include "engine/kernel/RunKernel.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace quelby;
using quelby::test::TempFolder;

namespace {

using Images = std::array<ImageBytesBuffer, KernelImages>;

// The expression as the run evaluated it before the kernels, one sample at a time.
double squaredDeviation(std::int32_t s, double mean, double noise)
{
    const long double d = static_cast<long double>(s) - mean;
    return static_cast<double>(d * d + noise);
}

std::uint64_t bitsOf(double v) { return std::bit_cast<std::uint64_t>(v); }

void setSample(ImageBytesBuffer& image, int pixel, std::int16_t s)
{
    const auto u = static_cast<std::uint16_t>(s);
    image[2 * pixel] = static_cast<unsigned char>(u & 0xFF);
    image[2 * pixel + 1] = static_cast<unsigned char>(u >> 8);
}

// The first pixel whose bits differ, or -1.
int firstDifference(const Map& a, const Map& b)
{
    for (int p = 0; p < FramePixels; ++p)
        if (bitsOf(a[p / ImageSide][p % ImageSide]) != bitsOf(b[p / ImageSide][p % ImageSide])) return p;
    return -1;
}

struct Build {
    const char* name;
    void (*samples)(std::span<const ImageBytesBuffer>, Map&, SampleKind);
    std::size_t (*deviations)(std::span<const ImageBytesBuffer>, const Map&, Map&, int, SampleKind);
};

std::vector<Build> builds()
{
    std::vector<Build> all{{"portable", kernel::addSamplesPortable, kernel::addSquaredDeviationsPortable}};
    if (kernel::hasAvx2Fma())
        all.push_back({"avx2+fma", kernel::addSamplesAvx2Fma, kernel::addSquaredDeviationsAvx2Fma});
    if (kernel::hasAvx512()) all.push_back({"avx512", kernel::addSamplesAvx512, kernel::addSquaredDeviationsAvx512});
    return all;
}

// Prints how many samples each build sent through the long-double expression.
void reportSlowPath(const std::vector<std::size_t>& slow, std::size_t samples)
{
    for (std::size_t b = 0; b < slow.size(); ++b)
        std::printf("%s: %zu of %zu samples (%.3f %%) took the long-double path\n", builds()[b].name, slow[b], samples,
                    100.0 * static_cast<double>(slow[b]) / static_cast<double>(samples));
}

// Inputs meant to break a kernel that is not exactly the expression: means on
// the grain (up to the edge of the exact range and beyond it), just off it and
// with full fractions; noise on the grain of every size, at the 2^52 limit,
// just off the midpoints of the doubles, off it anyhow and special; samples
// near the mean, far from it and at the 16-bit ends. Kinds are drawn per block
// of 16 pixels, and every fourth block mixes them.
class Adversary {
public:
    Adversary(std::uint64_t seed, int grain) : rng_(seed), k_(grain), g_(std::ldexp(1.0, -grain)) {}

    void fill(Map& mean, Map& noise)
    {
        for (int p = 0; p < FramePixels; p += 16) {
            const bool mixed = pick(4) == 0;
            int meanKind = pick(6), noiseKind = pick(6);
            spread_ = pick(12);
            for (int i = 0; i < 16; ++i) {
                if (mixed) {
                    meanKind = pick(6);
                    noiseKind = pick(6);
                }
                mean[p / ImageSide][p % ImageSide + i] = meanOf(meanKind);
                noise[p / ImageSide][p % ImageSide + i] = noiseOf(noiseKind);
            }
            sampleKinds_[p / 16] = mixed ? -1 : pick(4);
        }
    }

    void fillImages(Images& images, const Map& mean)
    {
        for (ImageBytesBuffer& image : images)
            for (int p = 0; p < FramePixels; ++p) {
                const int kind = sampleKinds_[p / 16] < 0 ? pick(4) : sampleKinds_[p / 16];
                setSample(image, p, sampleOf(kind, mean[p / ImageSide][p % ImageSide]));
            }
    }

private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    std::int64_t integer(std::int64_t lo, std::int64_t hi)
    {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng_);
    }
    double sign() { return pick(2) ? 1.0 : -1.0; }

    double meanOf(int kind)
    {
        const double reach = std::ldexp(1.0, 26 - k_) - 32768.0;  // the largest |mean| of the exact range, open
        switch (kind) {
        case 0: return static_cast<double>(integer(-1100 << k_, 1100 << k_)) * g_;
        case 1: return sign() * (reach - static_cast<double>(integer(1, 4)) * g_);
        case 2: {
            const std::int64_t range = std::int64_t{1} << 40;
            return static_cast<double>(integer(-range, range)) * std::ldexp(1.0, -k_ - pick(20) - 1);
        }
        case 3: return uniform(-40000.0, 40000.0);
        case 4: return sign() * (reach + static_cast<double>(integer(0, (std::int64_t{1} << (26 + spread_)) - 1)) * g_);
        default: {
            static const double specials[] = {0.0, -0.0, 1e-300, -1e-300, 0x1p-1074, 1e300, -1e300, 32767.5, -32768.25,
                                              std::numeric_limits<double>::infinity(),
                                              std::numeric_limits<double>::quiet_NaN()};
            return specials[pick(std::size(specials))];
        }
        }
    }

    double noiseOf(int kind)
    {
        const double grain2 = g_ * g_;
        switch (kind) {
        case 0: return 0.0;
        case 1: return static_cast<double>(rng_() >> (12 + pick(52))) * grain2;
        case 2: return pick(3) ? (0x1p52 - static_cast<double>(integer(1, 1 << 20))) * grain2
                               : (0x1p52 + static_cast<double>(integer(0, 4) * 2)) * grain2;
        case 3: return std::ldexp(uniform(1.0, 2.0), pick(120) - 40);
        case 4: {  // off the grain: just off a midpoint of the doubles near d² once d² is 2^(52-e) grains
            const int e = pick(41);
            return (static_cast<double>(integer(0, 1 << 10)) + 0.5 + sign() * std::ldexp(1.0, -13 - pick(28))) *
                   std::ldexp(grain2, -e);
        }
        default: {
            static const double specials[] = {-0.0, -1.0, -3.0 * 0x1p-20, 0x1p-1074, 0x1p-1022, 1e300, DBL_MAX,
                                              std::numeric_limits<double>::infinity(),
                                              std::numeric_limits<double>::quiet_NaN()};
            return specials[pick(std::size(specials))];
        }
        }
    }

    std::int16_t sampleOf(int kind, double mean)
    {
        const double centre = std::isfinite(mean) ? std::clamp(mean, -32768.0, 32767.0) : 0.0;
        switch (kind) {
        case 0: return static_cast<std::int16_t>(integer(-32768, 32767));
        case 1: {
            const double near = std::round(centre + uniform(-60.0, 60.0));
            return static_cast<std::int16_t>(std::clamp(near, -32768.0, 32767.0));
        }
        case 2: return centre > 0 ? std::int16_t{-32768} : std::int16_t{32767};
        default: return static_cast<std::int16_t>(std::trunc(centre));
        }
    }

    std::mt19937_64 rng_;
    int k_;
    double g_;
    int spread_ = 0;  // how far beyond the exact range the means of a block go: up to 2^spread times
    std::vector<int> sampleKinds_ = std::vector<int>(FramePixels / 16);
};

// Every build against the expression, over chains of batches of every size.
// Also counts the samples where plain or fused double arithmetic would have
// gone wrong, to show the inputs can tell a kernel that is not exact.
TEST(RunKernel, SquaredDeviationsAreTheLongDoubleExpressionBitForBit)
{
    const auto mean = std::make_unique<Map>();
    const auto start = std::make_unique<Map>();
    const auto expected = std::make_unique<Map>();
    const auto images = std::make_unique<Images>();
    std::vector<std::unique_ptr<Map>> got;
    for (std::size_t b = 0; b < builds().size(); ++b) got.push_back(std::make_unique<Map>());
    long plainWrong = 0, fusedWrong = 0, samples = 0;
    std::vector<std::size_t> slow(builds().size());

    // The grain of the data and the one the kernel is told: equal, beyond the
    // exact range, below zero, and wrong; the same bytes read as unsigned
    // samples, whose larger range narrows the exact one.
    struct Case {
        int dataGrain, grain;
        SampleKind kind;
    };
    constexpr SampleKind I = SampleKind::Int16, U = SampleKind::Uint16;
    const Case cases[] = {{7, 7, I},  {0, 0, I},  {3, 3, I}, {10, 10, I}, {12, 12, I},
                          {0, -1, I}, {7, 3, I},  {9, 9, U}, {10, 10, U}};
    for (std::uint64_t seed = 1; seed <= std::size(cases); ++seed) {
        const auto [dataGrain, grain, kind] = cases[seed - 1];
        SCOPED_TRACE("seed " + std::to_string(seed) + ", grain " + std::to_string(grain));
        Adversary adversary(seed, dataGrain);
        adversary.fill(*mean, *start);
        *expected = *start;
        for (const auto& g : got) *g = *start;
        for (const std::size_t count : {std::size_t{8}, std::size_t{8}, std::size_t{5}, std::size_t{1}}) {
            adversary.fillImages(*images, *mean);
            const std::span<const ImageBytesBuffer> batch(images->data(), count);
            for (int p = 0; p < FramePixels; ++p) {
                const double m = (*mean)[p / ImageSide][p % ImageSide];
                double& v = (*expected)[p / ImageSide][p % ImageSide];
                for (const ImageBytesBuffer& image : batch) {
                    const std::int32_t s = sampleValue(image, p, kind);
                    const double next = squaredDeviation(s, m, v);
                    const double d = s - m;
                    plainWrong += bitsOf(d * d + v) != bitsOf(next) && !std::isnan(next);
                    fusedWrong += bitsOf(std::fma(d, d, v)) != bitsOf(next) && !std::isnan(next);
                    ++samples;
                    v = next;
                }
            }
            for (std::size_t b = 0; b < builds().size(); ++b) {
                slow[b] += builds()[b].deviations(batch, *mean, *got[b], grain, kind);
                const int p = firstDifference(*got[b], *expected);
                ASSERT_EQ(p, -1) << builds()[b].name << " at pixel " << p << ": mean "
                                 << (*mean)[p / ImageSide][p % ImageSide] << ", noise "
                                 << (*got[b])[p / ImageSide][p % ImageSide] << " for "
                                 << (*expected)[p / ImageSide][p % ImageSide];
            }
        }
    }
    EXPECT_GT(samples, 10'000'000);
    EXPECT_GT(plainWrong, 10'000);
    EXPECT_GT(fusedWrong, 10'000);
    reportSlowPath(slow, static_cast<std::size_t>(samples));
}

// The noise, the SNR and the g factor of every pixel against the long-double expressions:
// random values over the whole range and values whose quotient or root lies
// near a midpoint between doubles, where the long double's two roundings can
// differ from one (the test counts where plain double arithmetic does).
TEST(RunKernel, NoisesSnrsAndGFactorsAreTheLongDoubleExpressionsBitForBit)
{
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    // Noise sums over the whole range; signals from beneath the vector range up
    // to quotients far inside the double range.
    const auto wide = [&] { return std::ldexp(0.5 + unit(random), static_cast<int>(random() % 2000) - 1000); };
    const auto tiny = [&] { return std::ldexp(0.5 + unit(random), static_cast<int>(random() % 600) - 1000); };
    const auto near = [&] { return std::ldexp(0.5 + unit(random), static_cast<int>(random() % 40) - 10); };
    constexpr std::size_t Count = 1 << 21;
    std::vector<double> signal(Count), noise(Count), snr(Count, 7.0);
    for (std::size_t p = 0; p < Count; ++p) {
        const int kind = static_cast<int>(p % 8);
        noise[p] = kind == 0 ? 0.0 : near();
        signal[p] = kind == 2 ? 0.0 : kind == 3 ? -tiny() : (random() % 2 ? 1 : -1) * near();
        if (kind >= 5) {  // a quotient close to the midpoint above a double
            const long double q = static_cast<long double>(near());
            signal[p] = static_cast<double>((q + q * 0x1p-53L) * noise[p]);
        }
    }
    long plainWrong = 0;
    snrs(signal, noise, snr);
    for (std::size_t p = 0; p < Count; ++p) {
        const double expected = noise[p] == 0.0 ? 7.0 : pixel::snr(signal[p], noise[p]);
        ASSERT_EQ(bitsOf(snr[p]), bitsOf(expected)) << signal[p] << " / " << noise[p];
        plainWrong += noise[p] != 0.0 && bitsOf(signal[p] / noise[p]) != bitsOf(expected);
    }
    for (const long double divisor : {1.0L, 2.0L, 3.0L, 49.0L, 99.0L, 0x1p31L - 1}) {
        std::vector<double> squares(Count);
        for (std::size_t p = 0; p < Count; ++p) {
            const int kind = static_cast<int>(p % 4);
            if (kind == 0) squares[p] = p % 64 == 0 ? 0.0 : wide();
            else if (kind == 1) squares[p] = near();
            else {  // a root close to a midpoint between doubles
                const long double y = static_cast<long double>(near());
                const long double root = y + y * (kind == 2 ? 0x1p-53L : -0x1p-54L);
                squares[p] = static_cast<double>(root * root * divisor);
            }
        }
        std::vector<double> roots = squares;
        noises(roots, divisor);
        for (std::size_t p = 0; p < Count; ++p) {
            const double expected = pixel::noise(squares[p], divisor);
            ASSERT_EQ(bitsOf(roots[p]), bitsOf(expected)) << "√(" << squares[p] << " / " << double(divisor) << ")";
            plainWrong += bitsOf(std::sqrt(squares[p] / static_cast<double>(divisor))) != bitsOf(expected);
        }
    }
    const std::span<double> a = std::span(signal).first(Count / 4), b = std::span(noise).first(Count / 4);
    for (const double reduction : {1.0, 2.0, 3.0, 1e-3})
        for (const long double scale : {1.0L, 100.0L}) {
            const long double root = std::sqrt(static_cast<long double>(reduction));
            std::vector<double> g(a.size(), 7.0);
            for (std::size_t p = 0; p < a.size(); ++p) {
                if (p % 8 >= 5) {  // a quotient close to the midpoint above a double
                    const long double x = static_cast<long double>(near());
                    a[p] = static_cast<double>((x + x * 0x1p-53L) * root * b[p] / scale);
                }
            }
            gFactors(a, b, g, reduction, scale);
            for (std::size_t p = 0; p < a.size(); ++p) {
                const double expected = b[p] == 0.0 ? 7.0 : pixel::gFactor(a[p], b[p], reduction, scale);
                ASSERT_EQ(bitsOf(g[p]), bitsOf(expected)) << a[p] << ", " << b[p] << ", R " << reduction;
                const double plain = static_cast<double>(scale) * a[p] / (std::sqrt(reduction) * b[p]);
                plainWrong += b[p] != 0.0 && bitsOf(plain) != bitsOf(expected);
            }
        }
    EXPECT_GT(plainWrong, 100);
    // Quotients beyond the double range fail as the expression does.
    const std::vector<double> huge(16, 0x1p900), small(16, 0x1p-900);
    std::vector<double> out(16);
    EXPECT_THROW(snrs(huge, small, out), Failure);
    EXPECT_THROW(pixel::snr(huge[0], small[0]), Failure);
}

// Means as a run makes them for every file count from 2 to 300 (a sum of
// samples divided by the count), near 0 beside large samples, and with full
// fractions; sums of squares near powers of two and near 2^53; samples at the
// ends of their range.
TEST(RunKernel, DeviationsFromTheMeanOfAnyFileCountAreTheExpression)
{
    const auto mean = std::make_unique<Map>();
    const auto start = std::make_unique<Map>();
    const auto images = std::make_unique<Images>();
    std::mt19937_64 rng(2026);
    const auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    const auto integer = [&](std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
    };
    std::size_t samples = 0;
    std::vector<std::size_t> slow(builds().size());
    for (int round = 0; round < 20; ++round) {
        const SampleKind kind = round % 4 == 3 ? SampleKind::Uint16 : SampleKind::Int16;
        const double low = kind == SampleKind::Int16 ? -32768 : 0, high = kind == SampleKind::Int16 ? 32767 : 65535;
        for (int p = 0; p < FramePixels; ++p) {
            const int files = 2 + p % 299;
            double& m = (*mean)[p / ImageSide][p % ImageSide];
            double spread = 300;
            switch (integer(0, 6)) {
            case 0: m = uniform(-1e-3, 1e-3); break;                       // near 0, as in the background
            case 6:  // differences of 62 to 66 bits from a mean near 0
                m = uniform(1e-3, 2e-3);
                spread = 15;
                break;
            case 1: m = uniform(low, high); break;                         // any 53-bit fraction
            default: m = static_cast<double>(integer(static_cast<std::int64_t>(low) * files,
                                                     static_cast<std::int64_t>(high) * files)) / files;
            }
            double& v = (*start)[p / ImageSide][p % ImageSide];
            switch (spread < 300 ? 0 : integer(0, 4)) {
            case 0: v = 0; break;
            case 1: v = std::ldexp(1.0 + static_cast<double>(integer(-4, 4)) * 0x1p-52, static_cast<int>(integer(-30, 62))); break;
            case 2: v = 0x1p53 + static_cast<double>(integer(-8, 8)) * (integer(0, 1) ? 1.0 : 2.0); break;
            default: v = uniform(0, std::ldexp(1.0, static_cast<int>(integer(0, 40))));
            }
            for (ImageBytesBuffer& image : *images) {
                const double near = std::clamp(std::round(m + uniform(-spread, spread)), low, high);
                const double s = integer(0, 9) == 0 ? (integer(0, 1) ? low : high) : near;
                const auto bits = static_cast<std::uint16_t>(static_cast<std::int32_t>(s));
                image[2 * p] = static_cast<unsigned char>(bits & 0xFF);
                image[2 * p + 1] = static_cast<unsigned char>(bits >> 8);
            }
        }
        Map expected = *start;
        for (int p = 0; p < FramePixels; ++p)
            for (const ImageBytesBuffer& image : *images) {
                double& v = expected[p / ImageSide][p % ImageSide];
                v = squaredDeviation(sampleValue(image, p, kind), (*mean)[p / ImageSide][p % ImageSide], v);
                ++samples;
            }
        for (std::size_t b = 0; b < builds().size(); ++b) {
            Map got = *start;
            slow[b] += builds()[b].deviations(*images, *mean, got, 0, kind);
            const int p = firstDifference(got, expected);
            ASSERT_EQ(p, -1) << builds()[b].name << " in round " << round << " at pixel " << p << ": mean "
                             << (*mean)[p / ImageSide][p % ImageSide] << ", start "
                             << (*start)[p / ImageSide][p % ImageSide];
        }
    }
    EXPECT_GT(samples, 10'000'000u);
    reportSlowPath(slow, samples);
}

// A phantom series as a scanner gives it (a disc of 1000 in noise of σ 20,
// magnitude noise of σ 10 around it), 40 images with means of full fractions:
// the vector builds settle all but a few samples themselves.
TEST(RunKernel, APhantomSeriesTakesTheLongDoublePathForFewSamples)
{
    constexpr int Files = 40;
    std::vector<Images> series(Files / KernelImages);
    auto mean = std::make_unique<Map>();
    std::mt19937_64 rng(40);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (int p = 0; p < FramePixels; ++p) {
        const bool disc = std::hypot(p / ImageSide - 128, p % ImageSide - 128) < 100;
        double sum = 0;
        for (Images& batch : series)
            for (ImageBytesBuffer& image : batch) {
                const double s = disc ? std::round(1000 + 20 * noise(rng))
                                      : std::round(std::hypot(10 * noise(rng), 10 * noise(rng)));
                setSample(image, p, static_cast<std::int16_t>(s));
                sum += s;
            }
        (*mean)[p / ImageSide][p % ImageSide] = sum / Files;
    }
    auto expected = std::make_unique<Map>();
    for (const Images& batch : series)
        for (int p = 0; p < FramePixels; ++p)
            for (const ImageBytesBuffer& image : batch) {
                double& v = (*expected)[p / ImageSide][p % ImageSide];
                v = squaredDeviation(sampleAt(image, p), (*mean)[p / ImageSide][p % ImageSide], v);
            }
    const std::size_t samples = static_cast<std::size_t>(FramePixels) * Files;
    std::vector<std::size_t> slow(builds().size());
    for (std::size_t b = 0; b < builds().size(); ++b) {
        auto got = std::make_unique<Map>();
        for (const Images& batch : series) slow[b] += builds()[b].deviations(batch, *mean, *got, 0, SampleKind::Int16);
        EXPECT_EQ(firstDifference(*got, *expected), -1) << builds()[b].name;
        if (b > 0) {
            EXPECT_LT(slow[b], samples / 100) << builds()[b].name;
        }
    }
    reportSlowPath(slow, samples);
}

// Ties: on the grain, noise close to 2^52 grains and deviations close to 2^26
// grains put d² + noise above 2^53 grains, where half of the sums sit exactly
// between two doubles and must round to even as the long double does.
TEST(RunKernel, SumsExactlyBetweenTwoDoublesRoundToEven)
{
    const auto mean = std::make_unique<Map>();
    const auto noise = std::make_unique<Map>();
    const auto images = std::make_unique<Images>();
    std::mt19937_64 rng(99);
    for (int p = 0; p < FramePixels; ++p) {
        const bool high = (p / 16) % 2 == 0;
        (*mean)[p / ImageSide][p % ImageSide] = (high ? 32767.0 : -32767.0) - static_cast<double>(rng() % 1024) / 1024;
        (*noise)[p / ImageSide][p % ImageSide] = (0x1p52 - static_cast<double>(rng() % 4096 + 1)) * 0x1p-20;
        for (ImageBytesBuffer& image : *images)
            setSample(image, p, static_cast<std::int16_t>((high ? -32768 : 32767) + (high ? 1 : -1) * (rng() % 8)));
    }
    Map expected = *noise;
    int ties = 0;
    for (int p = 0; p < FramePixels; ++p)
        for (const ImageBytesBuffer& image : *images) {
            double& v = expected[p / ImageSide][p % ImageSide];
            const long double exact =
                static_cast<long double>(sampleAt(image, p) - (*mean)[p / ImageSide][p % ImageSide]) *
                    (sampleAt(image, p) - (*mean)[p / ImageSide][p % ImageSide]) +
                v;
            const long double grains = exact * 0x1p20L;
            ties += grains >= 0x1p53L && std::fmod(grains, 2.0L) == 1.0L;
            v = squaredDeviation(sampleAt(image, p), (*mean)[p / ImageSide][p % ImageSide], v);
        }
    EXPECT_GT(ties, 100'000);
    for (const Build& build : builds()) {
        Map got = *noise;
        build.deviations(*images, *mean, got, 10, SampleKind::Int16);
        EXPECT_EQ(firstDifference(got, expected), -1) << build.name;
    }
}

// Sums on the integers up to 2^51 (added a batch at a time by the AVX2 build)
// and off them: fractions, the edges of 2^51, 2^53 and beyond, special values.
TEST(RunKernel, SamplesAddInOrderAndAnImageIsStored)
{
    const auto start = std::make_unique<Map>();
    const auto images = std::make_unique<Images>();
    std::mt19937_64 rng(5);
    const double specials[] = {0.0, -0.0, 0x1p51 - 1, -0x1p51 + 1, 0x1p51, -0x1p51 - 0.5, 0x1p53, -0x1p53 + 1,
                               0x1p53 - 1, 1e17 + 8, 0.1, -2.5e-310, std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()};
    for (int p = 0; p < FramePixels; ++p) {
        const bool special = (p / 16) % 5 == 0 || p % 97 == 0;
        (*start)[p / ImageSide][p % ImageSide] =
            special ? specials[rng() % std::size(specials)]
                    : static_cast<double>(static_cast<std::int64_t>(rng() >> 14) - (std::int64_t{1} << 49));
        for (ImageBytesBuffer& image : *images) {
            const std::int16_t ends[] = {-32768, 32767, -1, 1};
            setSample(image, p, rng() % 4 == 0 ? ends[rng() % 4] : static_cast<std::int16_t>(rng()));
        }
    }
    for (const SampleKind kind : {SampleKind::Int16, SampleKind::Uint16})
        for (const std::size_t count : {std::size_t{1}, std::size_t{3}, std::size_t{8}}) {
            const std::span<const ImageBytesBuffer> batch(images->data(), count);
            Map expected = *start;
            for (int p = 0; p < FramePixels; ++p)
                for (const ImageBytesBuffer& image : batch) {
                    const double rep = sampleValue(image, p, kind);
                    expected[p / ImageSide][p % ImageSide] += rep;
                }
            for (const Build& build : builds()) {
                SCOPED_TRACE(std::string(build.name) + ", " + std::to_string(count) + " images, " +
                             (kind == SampleKind::Int16 ? "signed" : "unsigned"));
                Map signal = *start;
                build.samples(batch, signal, kind);
                EXPECT_EQ(firstDifference(signal, expected), -1);
            }
        }
    for (const SampleKind kind : {SampleKind::Int16, SampleKind::Uint16}) {
        Map rep{}, expectedRep{};
        storeSamples((*images)[2], rep, kind);
        for (int p = 0; p < FramePixels; ++p)
            expectedRep[p / ImageSide][p % ImageSide] = sampleValue((*images)[2], p, kind);
        EXPECT_EQ(firstDifference(rep, expectedRep), -1);
    }
}

// Image files for the reader and the run, written whole.
void writeImageFile(const std::string& path, const std::function<std::int16_t(int pixel)>& sample)
{
    ImageBytesBuffer image;
    for (int p = 0; p < FramePixels; ++p) setSample(image, p, sample(p));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), ImageBytes);
}

std::string fileName(int i) { return "f" + std::string(i < 10 ? "0" : "") + std::to_string(i); }

// Writes `files` uniform images f00, f01, … of values 1, 2, …
std::string uniformSeries(TempFolder& tmp, const std::string& name, int files)
{
    const std::string dir = tmp.sub(name);
    for (int i = 0; i < files; ++i)
        writeImageFile(dir + "/" + fileName(i), [i](int) { return static_cast<std::int16_t>(i + 1); });
    return dir;
}

std::string failureOf(const std::function<void()>& step)
{
    try {
        step();
    } catch (const Failure& f) {
        return f.what();
    }
    return "";
}

// What a batched pass hands on: 'S' start, "B<n>" a batch of n with the first
// sample of each image, 'F' a file step.
// With a group size, "@k" names the first buffer of each batch.
std::string batchedPass(const std::string& folder, std::size_t buffers, std::size_t group = 0)
{
    std::vector<ImageBytesBuffer> held(buffers);
    std::string calls;
    const std::string failure = failureOf([&] {
        ReadImageBatches(
            folder, std::span<ImageBytesBuffer>(held), [&] { calls += 'S'; },
            [&](std::span<ImageBytesBuffer> images, SampleKind kind) {
                calls += " B" + std::to_string(images.size());
                if (group != 0) calls += "@" + std::to_string(images.data() - held.data());
                calls += "(";
                for (const ImageBytesBuffer& image : images) calls += std::to_string(sampleValue(image, 0, kind));
                calls += ")";
            },
            [&] { calls += 'F'; }, group);
    });
    if (failure.empty()) return calls;
    return calls.empty() ? failure : calls + " " + failure;
}

TEST(RunKernel, BatchesHandOnTheImagesInOrderAndTheImagesBeforeAFailure)
{
    TempFolder tmp;
    const std::string seven = uniformSeries(tmp, "seven", 7);
    EXPECT_EQ(batchedPass(seven, 3), "S B3(123)FFF B3(456)FFF B1(7)F");
    EXPECT_EQ(batchedPass(seven, 7), "S B7(1234567)FFFFFFF");
    EXPECT_EQ(batchedPass(seven, 8), "S B7(1234567)FFFFFFF");
    EXPECT_EQ(batchedPass(seven, 1), "S B1(1)F B1(2)F B1(3)F B1(4)F B1(5)F B1(6)F B1(7)F");
    // Groups of half the buffers take turns, so one is read while the other is in use.
    EXPECT_EQ(batchedPass(seven, 6, 3), "S B3@0(123)FFF B3@3(456)FFF B1@0(7)F");
    EXPECT_EQ(batchedPass(seven, 1, 8), "S B1@0(1)F B1@0(2)F B1@0(3)F B1@0(4)F B1@0(5)F B1@0(6)F B1@0(7)F");

    const std::string broken = uniformSeries(tmp, "broken", 7);
    std::filesystem::resize_file(broken + "/" + fileName(4), ImageBytes - 2);  // the fifth file is short
    EXPECT_EQ(batchedPass(broken, 3), "S B3(123)FFF B1(4)F I/O エラー (22)");
    EXPECT_EQ(batchedPass(broken, 4), "S B4(1234)FFFF I/O エラー (22)");
    EXPECT_EQ(batchedPass(tmp.str() + "/missing", 4), "ファイル名の指定が間違っています");
}

// Records the progress; may act on the folder after a given number of file steps.
class ProgressView : public test::NoRunView {
public:
    void setProgress(int position) override
    {
        positions.push_back(position);
        if (onStep) onStep(static_cast<int>(positions.size()));
    }

    std::vector<int> positions;
    std::function<void(int)> onStep;
};

// The maps of one series as the per-sample passes made them: rep, mean and
// noise, or the sums and deviations of the first `files` images when a pass stops there.
struct SeriesMaps {
    Map rep{}, signal{}, noise{};
};

std::unique_ptr<SeriesMaps> perSampleSeries(const std::string& folder, int count)
{
    auto maps = std::make_unique<SeriesMaps>();
    ImageBytesBuffer buffer;
    ReadImageFolder(
        folder, buffer, [] {},
        [&](int r, int c, std::int32_t s) {
            maps->rep[r][c] = s;
            maps->signal[r][c] += maps->rep[r][c];
        },
        [] {});
    for (auto& row : maps->signal)
        for (double& v : row) v = checked::store(checked::div(v, count));
    ReadImageFolder(
        folder, buffer, [] {},
        [&](int r, int c, std::int32_t s) {
            maps->noise[r][c] = squaredDeviation(s, maps->signal[r][c], maps->noise[r][c]);
        },
        [] {});
    for (auto& row : maps->noise)
        for (double& v : row) v = checked::store(checked::sqrt(checked::div(v, count - 1)));
    return maps;
}

// Noisy images with the 16-bit ends in them: 16 files give means on a grain
// of 1/16 (the exact blocks), 13 files means with full fractions.
std::string noisySeries(TempFolder& tmp, const std::string& name, int files, std::uint64_t seed)
{
    const std::string dir = tmp.sub(name);
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, 25.0);
    for (int i = 0; i < files; ++i)
        writeImageFile(dir + "/" + fileName(i), [&](int p) {
            if (p % 997 == 0) return static_cast<std::int16_t>(rng() % 2 ? 32767 : -32768);
            const double signal = p / ImageSide > 100 ? 1000.0 : 3.0;
            return static_cast<std::int16_t>(std::lround(signal + noise(rng)));
        });
    return dir;
}

TEST(RunKernel, ARunGivesTheMapsOfThePerSamplePasses)
{
    TempFolder tmp;
    const std::string a = noisySeries(tmp, "a", 16, 1);
    const std::string b = noisySeries(tmp, "b", 13, 2);
    auto store = std::make_unique<MapStore>();
    ProgressView view;
    MeasurementRun(RunInputs{"60", "20", "2", true, a, b}, *store, view);

    const auto expectedA = perSampleSeries(a, 16);
    const auto expectedB = perSampleSeries(b, 13);
    EXPECT_EQ(firstDifference(store->RepImageA, expectedA->rep), -1);
    EXPECT_EQ(firstDifference(store->SignalMapA, expectedA->signal), -1);
    EXPECT_EQ(firstDifference(store->NoiseMapA, expectedA->noise), -1);
    EXPECT_EQ(firstDifference(store->RepImageB, expectedB->rep), -1);
    EXPECT_EQ(firstDifference(store->SignalMapB, expectedB->signal), -1);
    EXPECT_EQ(firstDifference(store->NoiseMapB, expectedB->noise), -1);
    std::vector<int> positions;
    for (const auto& [base, count] : {std::pair{0, 16}, std::pair{25, 16}, std::pair{50, 13}, std::pair{75, 13}})
        for (int i = 1; i <= count; ++i) positions.push_back(base + 25 * i / count);
    EXPECT_EQ(view.positions, positions);
}

// Whole runs at the file counts that series are acquired with, whose means
// have full fractions, against the long-double expression sample by sample.
TEST(RunKernel, RunsOfAnyFileCountGiveTheMapsOfThePerSamplePasses)
{
    TempFolder tmp;
    for (const auto& [filesA, filesB] : {std::pair{3, 50}, std::pair{100, 200}}) {
        SCOPED_TRACE(std::to_string(filesA) + " and " + std::to_string(filesB) + " files");
        const std::string a = noisySeries(tmp, "a" + std::to_string(filesA), filesA, 3);
        const std::string b = noisySeries(tmp, "b" + std::to_string(filesB), filesB, 4);
        auto store = std::make_unique<MapStore>();
        ProgressView view;
        MeasurementRun(RunInputs{"60", "20", "2", true, a, b}, *store, view);
        const auto expectedA = perSampleSeries(a, filesA);
        const auto expectedB = perSampleSeries(b, filesB);
        EXPECT_EQ(firstDifference(store->NoiseMapA, expectedA->noise), -1);
        EXPECT_EQ(firstDifference(store->NoiseMapB, expectedB->noise), -1);
        EXPECT_EQ(firstDifference(store->SignalMapB, expectedB->signal), -1);
    }
}

// A file that fails in the middle of a batch: the files before it count in
// full, none of its samples are used, and the run stops there.
TEST(RunKernel, AFailureInsideABatchLeavesTheMapsOfTheFilesBeforeIt)
{
    TempFolder tmp;
    const std::string a = uniformSeries(tmp, "a", 12);
    std::filesystem::resize_file(a + "/" + fileName(10), ImageBytes - 2);
    auto store = std::make_unique<MapStore>();
    ProgressView view;
    EXPECT_EQ(failureOf([&] { MeasurementRun(RunInputs{"60", "20", "2", false, a, ""}, *store, view); }),
              "I/O エラー (22)");
    EXPECT_EQ(store->SignalMapA[7][7], 55.0);  // 1 + 2 + … + 10
    EXPECT_EQ(store->RepImageA[255][255], 10.0);
    EXPECT_EQ(store->FileCounter, 10);
    EXPECT_EQ(view.positions, (std::vector<int>{4, 8, 12, 16, 20, 25, 29, 33, 37, 41}));

    // At the first file of a batch: the batch before it holds the last image.
    std::filesystem::resize_file(a + "/" + fileName(10), ImageBytes);
    std::filesystem::resize_file(a + "/" + fileName(8), ImageBytes - 2);
    view = ProgressView();
    EXPECT_EQ(failureOf([&] { MeasurementRun(RunInputs{"60", "20", "2", false, a, ""}, *store, view); }),
              "I/O エラー (22)");
    EXPECT_EQ(store->SignalMapA[0][9], 36.0);  // 1 + 2 + … + 8
    EXPECT_EQ(store->RepImageA[0][9], 8.0);
    EXPECT_EQ(store->FileCounter, 8);
    std::filesystem::remove(a + "/" + fileName(8));
    writeImageFile(a + "/" + fileName(8), [](int) { return std::int16_t{9}; });

    // The same file made short only once the sum pass is done: the deviation
    // pass stops at it, after its first ten files.
    std::filesystem::remove(a + "/" + fileName(10));
    writeImageFile(a + "/" + fileName(10), [](int) { return std::int16_t{11}; });
    view = ProgressView();
    view.onStep = [&](int step) {
        if (step == 12) std::filesystem::resize_file(a + "/" + fileName(10), ImageBytes - 2);
    };
    EXPECT_EQ(failureOf([&] { MeasurementRun(RunInputs{"60", "20", "2", false, a, ""}, *store, view); }),
              "I/O エラー (22)");
    EXPECT_EQ(store->SignalMapA[3][4], 6.5);
    double deviations = 0;
    for (int i = 1; i <= 10; ++i) deviations += (i - 6.5) * (i - 6.5);
    EXPECT_EQ(store->NoiseMapA[3][4], deviations);
    EXPECT_EQ(store->FileCounter, 10);
    EXPECT_EQ(view.positions.size(), 22u);
    EXPECT_EQ(view.positions.back(), 50 + 50 * 10 / 12);
}

}  // namespace
