#pragma once

#include "engine/io/DicomImage.h"

#include <cstddef>

namespace quelby {

// What the DICOM library's decoding reports, written by the child into
// memory the parent reads.
struct LibraryOutcome {
    enum Status : int { Decoded, NoImage, Undecodable, Corrupt, Larger } status = Corrupt;
    DicomPixelFormat format;
    std::size_t length = 0;
    char transferSyntax[68] = {};
};

// The one entry point of the module that holds the DICOM library: parses and
// decodes `file`, writing at most `room` bytes of pixels.
using LibraryDecode = void (*)(const unsigned char* file, std::size_t size, LibraryOutcome* outcome,
                               unsigned char* pixels, std::size_t room);
inline constexpr char LibraryDecodeName[] = "quelby_dicom_library_decode";

}  // namespace quelby
