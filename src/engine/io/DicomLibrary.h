#pragma once

#include "engine/io/DicomLibraryEntry.h"

namespace quelby {

// The DICOM library's module, loaded on the first file that needs it and kept
// for the process, so that only compressed or unusual files pay for its start.
// Throws InputError when no module can be loaded.
LibraryDecode dicomLibrary();

}  // namespace quelby
