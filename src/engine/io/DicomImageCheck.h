#pragma once

#include "engine/io/DicomStructure.h"

#include <string>

namespace quelby {

// Whether a walked file is meant to hold an image: it gives pixel data or
// image attributes, or names an image storage SOP class. One that is not (a
// DICOMDIR, a report) holds none; one that is but fails imageDefect is broken.
bool meantAsImage(const DicomStructure& structure);

// Why the image of a walked file is not what its attributes say, for a
// message ("no Pixel Representation (0028,0103)"); empty when it is. Taken
// before any memory for its pixels: native pixel data must hold rows ×
// columns × frames × samples × bits exactly (a pad byte aside); encapsulated
// pixel data one fragment opening each frame, and no more decoded than
// readingCeiling of its bytes.
std::string imageDefect(const DicomStructure& structure);

// The bytes of the image the attributes describe, all frames; those imageDefect needs.
std::size_t promisedPixelBytes(const DicomStructure& structure);

}  // namespace quelby
