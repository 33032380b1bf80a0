#include "engine/series/QuadraticBasis.h"

#include <algorithm>

namespace quelby {

QuadraticBasis::QuadraticBasis(int frames)
{
    const long double t = frames;
    for (int k = 0; k < frames; ++k) {
        const long double u = 2.0L * k - (t - 1);
        q1_.push_back(static_cast<double>(u));
        q2_.push_back(static_cast<double>(3 * u * u - (t * t - 1)));
        norm1_ += u * u;
        norm2_ += static_cast<long double>(q2_.back()) * q2_.back();
    }
}

double QuadraticBasis::residualSquares(double sum, double squares, double onQ1, double onQ2) const
{
    const long double t = frames(), s = sum, p1 = onQ1, p2 = onQ2;
    // T·Σv² − (Σv)² is exact for whole-number samples: the deviations' squares without cancelling.
    const long double deviations = (t * squares - s * s) / t;
    const long double rest = deviations - (norm1_ > 0 ? p1 * p1 / norm1_ : 0) - (norm2_ > 0 ? p2 * p2 / norm2_ : 0);
    return static_cast<double>(std::max(0.0L, rest));
}

std::vector<double> QuadraticBasis::fit(std::span<const double> values) const
{
    long double mean = 0, p1 = 0, p2 = 0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        mean += values[k];
        p1 += values[k] * static_cast<long double>(q1_[k]);
        p2 += values[k] * static_cast<long double>(q2_[k]);
    }
    mean /= static_cast<long double>(values.size());
    const long double a1 = norm1_ > 0 ? p1 / norm1_ : 0, a2 = norm2_ > 0 ? p2 / norm2_ : 0;
    std::vector<double> fitted(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) fitted[k] = static_cast<double>(mean + a1 * q1_[k] + a2 * q2_[k]);
    return fitted;
}

}  // namespace quelby
