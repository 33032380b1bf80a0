#pragma once

#include "engine/io/Stack.h"

#include <span>
#include <string>
#include <vector>

namespace quelby {

// A map of a stack as a gzip-compressed NIfTI-1 file of float32 values:
// `values` slice after slice in position order, each row by row, stored as
// columns × rows × slices, and placed where the stack lies (qform and sform in
// scanner coordinates) when its geometry is known.
std::vector<char> niftiMapBytes(std::span<const double> values, const Stack& stack, const std::string& description);

}  // namespace quelby
