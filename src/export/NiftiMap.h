#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quelby {

// A map as a gzip-compressed NIfTI-1 file of float32 values: one slice of
// width × height, row 0 first, the pixel spacing (between rows, between
// columns, in mm) in the header where it is known.
std::vector<char> niftiMapBytes(const std::vector<double>& values, int width, int height,
                                const std::optional<std::pair<double, double>>& spacing, const std::string& description);

}  // namespace quelby
