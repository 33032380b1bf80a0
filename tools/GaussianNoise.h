#pragma once

#include <cstdint>
#include <random>

namespace quelby {

// Standard normal deviates by the Box–Muller transform on mt19937_64. Both the
// engine and the transform are fixed algorithms, so a seed gives the same
// series with every standard library (std::normal_distribution does not).
class GaussianNoise {
public:
    explicit GaussianNoise(std::uint64_t seed) : engine_(seed) {}

    double next();

private:
    // Uniform on [0, 1) from the top 53 bits of one engine output.
    double unit();

    std::mt19937_64 engine_;
    double spare_ = 0.0;
    bool hasSpare_ = false;
};

}  // namespace quelby
