#pragma once

#include <span>
#include <vector>

namespace quelby {

// The magnitude of the discrete Fourier transform of `values`, frequencies 0 … ⌊T/2⌋ cycles per T frames.
std::vector<double> amplitudeSpectrum(std::span<const double> values);

}  // namespace quelby
