#pragma once

#include "engine/io/SeriesSource.h"

#include <string>
#include <vector>

namespace quelby {

// Reads the header of every file of `source.files` and fills `source.stacks`
// with the stacks their images make (series scanned once per repetition
// joined, with a warning), `source.skipped` with the files that hold no image.
// Throws InputError naming the file or slice.
void findDicomStacks(SeriesSource& source);

// The stack of a DICOM source to measure. Phase images beside magnitude
// images are left out, with a warning; several stacks that the choice does not
// tell apart are refused, one line per stack with the option that picks it.
// Several series UIDs join those series as the repetitions of one stack.
// Throws InputError.
Stack chooseStack(const SeriesSource& source, const StackChoice& choice, std::vector<std::string>& warnings);

// Every stack of the source that can be measured (phase images are not, and
// are named in a warning), for --each. Throws InputError when none can.
std::vector<Stack> measurableStacks(const SeriesSource& source, std::vector<std::string>& warnings);

// A short name for each stack, from what sets it apart from the others
// ("echo1_M", "coil_H12", "series7"), unique among them and safe as a folder
// name: letters, digits, "-", "_" and ".", never beginning with ".".
std::vector<std::string> stackNames(const std::vector<Stack>& stacks);

}  // namespace quelby
