#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace quelby::test {

// The signal and noise of every pixel by the run's expressions, one sample at
// a time in long double: what the kernels must give to the last bit.
struct ReferenceMaps {
    std::vector<double> signal, noise;
};

inline ReferenceMaps referenceMaps(const std::vector<std::vector<std::int32_t>>& repetitions)
{
    const std::size_t pixels = repetitions.front().size();
    ReferenceMaps maps{std::vector<double>(pixels), std::vector<double>(pixels)};
    for (std::size_t p = 0; p < pixels; ++p) {
        double sum = 0;
        for (const auto& r : repetitions) sum += r[p];
        const double mean = static_cast<double>(static_cast<long double>(sum) / repetitions.size());
        double squares = 0;
        for (const auto& r : repetitions) {
            const long double d = static_cast<long double>(r[p]) - mean;
            squares = static_cast<double>(d * d + squares);
        }
        maps.signal[p] = mean;
        maps.noise[p] = static_cast<double>(std::sqrt(static_cast<long double>(squares) / (repetitions.size() - 1)));
    }
    return maps;
}

}  // namespace quelby::test
