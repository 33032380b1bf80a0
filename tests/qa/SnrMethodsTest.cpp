// The single- and two-image SNR methods on magnitude images of known noise.
//
// Tolerances, four standard errors each. A 256² disc of radius 80 gives an ROI
// of about 15,000 pixels: the SD of I1 − I2 is then known to 1/√(2P) = 0.6 %.
// The background is four 32² corners, N = 4096 Rayleigh values: their SD is
// known to √((κ − 1)/4N) = 1.2 % (κ = 3.245, a Rayleigh kurtosis) and their
// mean to 0.523/√N = 0.8 %. Rounding to whole steps adds 1/12 to a variance.
#include "GaussianNoise.h"
#include "qa/SnrMethods.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace quelby;

namespace {

constexpr int Side = 256;

// The noise-free signal: `signal` inside `body`, 0 outside.
using Body = std::function<bool(int x, int y)>;

bool disc(int x, int y) { return std::hypot(x - 127.5, y - 127.5) <= 80; }

struct Slice {
    std::vector<double> first, second;
    Roi roi;
};

// Two magnitude images, |S + σ·(n₁ + i·n₂)| rounded to whole steps (S + σ·n₁ with `signedNoise`), and
// the auto ROI on their truth.
Slice magnitudeSlice(const Body& body, double signal, double sigma, std::uint64_t seed, bool signedNoise = false)
{
    GaussianNoise noise(seed);
    std::vector<double> truth(Side * Side);
    for (int p = 0; p < Side * Side; ++p) truth[static_cast<std::size_t>(p)] = body(p % Side, p / Side) ? signal : 0;
    Slice s{truth, truth, makeRoi(RoiRequest{}, truth, Side, Side)};
    for (std::vector<double>* image : {&s.first, &s.second})
        for (double& v : *image) {
            const double re = v + sigma * noise.next(), im = sigma * noise.next();
            v = std::round(signedNoise ? re : std::hypot(re, im));
        }
    return s;
}

double percentOff(const SnrMethod& m, double truth) { return 100 * (m.snr - truth) / truth; }

TEST(SnrMethods, EachMethodFindsTheTrueSnr)
{
    const struct {
        double sigma;
        std::optional<Rescale> rescale;
    } cases[] = {{20, std::nullopt}, {5, Rescale{2.5, 0}}, {12, Rescale{0.5, 0}}};
    for (const auto& c : cases) {
        SCOPED_TRACE("sigma " + std::to_string(c.sigma));
        const double signal = 1000, truth = signal / c.sigma;
        const Slice s = magnitudeSlice(disc, signal, c.sigma, 17);
        const SnrMethods m = snrMethods(s.first, s.second, Side, s.roi, c.rescale, truth);
        EXPECT_EQ(m.multiple.snr, truth);
        EXPECT_EQ(m.multiple.percentVsMultiple, 0);
        EXPECT_NEAR(m.difference.percentVsMultiple, percentOff(m.difference, truth), 1e-9);
        EXPECT_NEAR(percentOff(m.difference, truth), 0, 2.5);
        ASSERT_TRUE(m.backgroundSd && m.backgroundMean) << (m.warnings.empty() ? "" : m.warnings[0]);
        EXPECT_NEAR(percentOff(*m.backgroundSd, truth), 0, 5);
        EXPECT_NEAR(percentOff(*m.backgroundMean, truth), 0, 3.5);
        EXPECT_TRUE(m.warnings.empty());
    }
}

TEST(SnrMethods, ABackgroundThatCannotGiveTheNoiseIsRefusedWithTheReason)
{
    // Whole but for the corner squares named, with a gap of 4 pixels around them.
    const auto allBut = [](std::vector<std::pair<int, int>> corners) {
        return [corners](int x, int y) {
            for (const auto& [cx, cy] : corners)
                if (std::abs(x - cx) < 36 && std::abs(y - cy) < 36) return false;
            return true;
        };
    };
    const struct {
        const char* name;
        Body body;
        double sigma;
        double zeroBelow;  // values below it set to 0 (none at 0)
        bool signedNoise;   // plain Gaussian noise, as in a real or phase-corrected image
        const char* reason;  // none: the background methods are given
    } cases[] = {
        {"a phantom touching three corners", allBut({{0, 0}}), 20, 0, false, "1 of the 4 corner squares"},
        {"a phantom touching two corners", allBut({{0, 0}, {255, 255}}), 20, 0, false, nullptr},
        {"a zeroed background", disc, 20, 200, false, "% of the background is 0"},
        {"a background zeroed in 2 % of it", disc, 20, 4, false, nullptr},
        {"an integer background of SD 1.3", disc, 2, 0, false, "stored steps"},
        {"signed noise", disc, 20, 0, true, "not a magnitude image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Slice s = magnitudeSlice(c.body, 1000, c.sigma, 5, c.signedNoise);
        for (std::vector<double>* image : {&s.first, &s.second})
            for (double& v : *image) v = c.zeroBelow > 0 && v < c.zeroBelow ? 0 : v;
        const SnrMethods m = snrMethods(s.first, s.second, Side, s.roi, std::nullopt, 1000 / c.sigma);
        EXPECT_NEAR(percentOff(m.difference, 1000 / c.sigma), 0, 5);
        const nlohmann::json j = methodsJson(m);
        if (!c.reason) {
            EXPECT_TRUE(m.backgroundSd && m.backgroundMean && m.warnings.empty());
            EXPECT_TRUE(j["background_sd"]["snr"].is_number());
            continue;
        }
        EXPECT_FALSE(m.backgroundSd || m.backgroundMean);
        EXPECT_TRUE(j["background_sd"].is_null() && j["background_mean"].is_null());
        ASSERT_EQ(m.warnings.size(), 1u);
        EXPECT_NE(m.warnings[0].find(c.reason), std::string::npos) << m.warnings[0];
    }
}

}  // namespace
