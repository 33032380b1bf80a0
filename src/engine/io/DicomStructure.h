#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// What a walk over the elements of a DICOM file found: its transfer
// syntax and, for the native syntaxes, the image attributes of the top-level
// data set and where its pixel data lies.
struct DicomStructure {
    std::string transferSyntax;
    // Pixel data stored as it is (implicit or explicit VR little endian,
    // explicit VR big endian), not deflated or encapsulated.
    bool native = false;
    bool bigEndian = false;
    std::optional<int> rows, columns, samplesPerPixel, bitsAllocated, pixelRepresentation, frames;
    std::string photometric;
    // The value of the top-level Pixel Data element, where it has a defined length.
    std::optional<std::span<const unsigned char>> pixelData;

    // What groups and orders the images of a series. Texts are trimmed.
    std::string seriesUid, seriesDescription, protocolName;
    std::optional<int> instanceNumber;
    // Found at any depth (in the functional groups of an enhanced object), the
    // first occurrence; multi-valued texts keep their backslashes.
    std::string pixelSpacing, imagePosition;
    std::optional<double> rescaleSlope, rescaleIntercept;
    std::optional<double> reductionInPlane, reductionOutOfPlane;
    // Per frame of an enhanced object: its temporal position index and its
    // in-stack position number, where its frame content gives them.
    struct FrameOrder {
        std::optional<std::uint32_t> temporal, stack;
    };
    std::vector<FrameOrder> frameOrder;
};

// Walks every element of the file, nested ones included, and checks each lies
// within the file; nothing when one does not, or the file has no transfer
// syntax. A deflated data set is inflated to be walked.
std::optional<DicomStructure> walkDicomStructure(std::span<const unsigned char> file);

}  // namespace quelby
