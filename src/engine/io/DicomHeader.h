#pragma once

#include "engine/io/DicomStructure.h"
#include "engine/io/InputFile.h"

#include <optional>
#include <vector>

namespace quelby {

// The walk of a DICOM file from as many of its first bytes as its header
// takes: 16 KiB, then four times as many while the walk needs them, so that
// the pixel data of a plain image is not read. `bytes` is room for them.
// Throws the file's FileFailure.
std::optional<DicomStructure> readDicomHeader(const InputFile& file, std::vector<unsigned char>& bytes);

}  // namespace quelby
