#pragma once

#include "engine/io/SeriesSource.h"

#include <string>
#include <vector>

namespace quelby {

// Reads the header of every file of `source.files` and fills `source.stacks`
// with the stacks their images make, `source.skipped` with the files that hold
// no image and `source.warnings`. Throws InputError naming the file or slice.
void findDicomStacks(SeriesSource& source);

// The stack of a DICOM source to measure. Phase images beside magnitude
// images are left out, with a warning; several stacks that the choice does not
// tell apart are refused, one line per stack with the option that picks it.
// Throws InputError.
Stack chooseStack(const SeriesSource& source, const StackChoice& choice, std::vector<std::string>& warnings);

// Every stack of the source that can be measured (phase images are not), for --each.
std::vector<Stack> measurableStacks(const SeriesSource& source, std::vector<std::string>& warnings);

// A short name of a stack, safe as a folder name: letters, digits, "-", "_" and ".".
std::string stackName(const Stack& stack);

}  // namespace quelby
