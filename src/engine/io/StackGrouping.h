#pragma once

#include "engine/io/DicomImageFacts.h"
#include "engine/io/Stack.h"

#include <string>
#include <vector>

namespace quelby {

// Positions along the normal closer than this are one slice: scanners write
// the positions of repeated acquisitions of a slice to the same digits.
inline constexpr double SamePositionMm = 0.01;

// The stacks the images make: one per series, echo, image type, coil element
// and matrix, in the order their first images come; within each, slices in
// position order and repetitions in acquisition order. `files` names the
// files the images index. Throws InputError naming the file or the slice
// when a stack cannot be measured as one.
std::vector<Stack> groupDicomStacks(std::vector<DicomImageFacts> images, const std::vector<std::string>& files);

// The keys' words for messages: "series 3 \"SNR\" (UID), echo 1, TE 10 ms, coil H12, image type M".
std::string stackDescription(const Stack& stack);

}  // namespace quelby
