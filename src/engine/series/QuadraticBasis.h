#pragma once

#include <span>
#include <vector>

namespace quelby {

// The discrete orthogonal polynomials of degree 0, 1 and 2 on t = 0 … T − 1,
// scaled to whole numbers: q1 = 2t − (T − 1) and q2 = 3·q1² − (T² − 1). Being
// orthogonal, each coefficient of a least-squares fit is one projection, and
// whole-number samples give exact projections in double as long as
// 65,535 · 3 · T³ stays below 2^53 (T up to about 3,500): no large mean can cancel.
class QuadraticBasis {
public:
    explicit QuadraticBasis(int frames);

    int frames() const { return static_cast<int>(q1_.size()); }
    double q1(int t) const { return q1_[static_cast<std::size_t>(t)]; }
    double q2(int t) const { return q2_[static_cast<std::size_t>(t)]; }

    // The sum of squared residuals of the fit, from the sum of the samples, of
    // their squares and their projections Σ v·q1 and Σ v·q2; never below 0.
    double residualSquares(double sum, double squares, double onQ1, double onQ2) const;

    // The fitted course of `values` (T of them).
    std::vector<double> fit(std::span<const double> values) const;

private:
    std::vector<double> q1_, q2_;
    long double norm1_ = 0, norm2_ = 0;  // Σ q1², Σ q2²
};

}  // namespace quelby
