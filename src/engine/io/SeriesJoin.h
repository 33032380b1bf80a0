#pragma once

#include "engine/io/Stack.h"

#include <vector>

namespace quelby {

// Joins stacks of separate series as the repetitions of one acquisition, in
// acquisition order: each slice gets the repetitions of the same slice of
// every part. Throws InputError naming the series when their matrices,
// slice positions or rescale differ.
Stack joinSeries(std::vector<Stack> parts);

// Joins the stacks that are repetitions scanned as separate series: each one
// image per slice, agreeing on protocol, sequence, matrix, pixel spacing,
// orientation, positions, echo and repetition time, reduction, coil and image
// type. Each joined stack says so in a warning.
void joinRepeatedSeries(std::vector<Stack>& stacks);

}  // namespace quelby
