#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace quelby {

// The value of rank ⌊(n − 1) · percent / 100⌋ among `values` (nearest rank
// below, no interpolation), which are reordered; `values` must not be empty.
inline double rankPercentile(std::span<double> values, std::size_t percent)
{
    const auto at = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) * percent / 100);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

}  // namespace quelby
