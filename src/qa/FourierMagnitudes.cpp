#include "qa/FourierMagnitudes.h"

#include <complex>
#include <numbers>

namespace quelby {

std::vector<double> amplitudeSpectrum(std::span<const double> values)
{
    const std::size_t n = values.size();
    // The roots of unity once; frequency k at frame t takes root k·t mod T.
    std::vector<std::complex<double>> roots(n);
    for (std::size_t j = 0; j < n; ++j)
        roots[j] = std::polar(1.0, -2 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(n));
    std::vector<double> spectrum;
    for (std::size_t k = 0; k <= n / 2; ++k) {
        std::complex<double> sum = 0;
        for (std::size_t t = 0; t < n; ++t) sum += values[t] * roots[k * t % n];
        spectrum.push_back(std::abs(sum));
    }
    return spectrum;
}

}  // namespace quelby
