#include "GaussianNoise.h"

#include <cmath>
#include <numbers>

namespace quelby {

double GaussianNoise::unit() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

double GaussianNoise::next()
{
    if (hasSpare_) {
        hasSpare_ = false;
        return spare_;
    }
    const double u = 1.0 - unit();  // (0, 1]: the logarithm stays finite
    const double angle = 2.0 * std::numbers::pi * unit();
    const double radius = std::sqrt(-2.0 * std::log(u));
    spare_ = radius * std::sin(angle);
    hasSpare_ = true;
    return radius * std::cos(angle);
}

}  // namespace quelby
