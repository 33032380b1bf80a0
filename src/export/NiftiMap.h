#pragma once

#include "engine/io/Stack.h"

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quelby {

// A map of a stack as a gzip-compressed NIfTI-1 file of float32 values:
// `values` slice after slice in position order, each row by row, stored as
// columns × rows × slices, and placed where the stack lies (qform and sform in
// scanner coordinates) when its geometry is known.
std::vector<char> niftiMapBytes(std::span<const double> values, const Stack& stack, const std::string& description);

// One slice of width × height with only its pixel spacing (between rows, between columns) known.
std::vector<char> niftiMapBytes(const std::vector<double>& values, int width, int height,
                                const std::optional<std::pair<double, double>>& spacing, const std::string& description);

}  // namespace quelby
