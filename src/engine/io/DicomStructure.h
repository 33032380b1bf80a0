#pragma once

#include <cstddef>
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
    // Image attributes above given with a value that cannot be read, as group << 16 | element.
    std::vector<std::uint32_t> unreadable;
    std::string sopClass;  // of the data set, else the meta information's media storage SOP class
    bool pixelDataGiven = false;  // a top-level Pixel Data element, of any form
    // The value of the top-level Pixel Data element, where it has a defined
    // length and lies within the bytes walked.
    std::optional<std::span<const unsigned char>> pixelData;
    // Where it begins in the file, for a data set that is not deflated.
    std::optional<std::size_t> pixelDataOffset;
    // Its length; for a deflated data set too, whose inflated copy is gone.
    std::optional<std::size_t> pixelDataBytes;
    // Encapsulated pixel data: the first four bytes of each item, big endian
    // (the offset table first), and the bytes of all of them.
    std::vector<std::uint32_t> fragmentHeads;
    std::size_t fragmentBytes = 0;

    // What groups and orders the images of a series. Texts are trimmed;
    // decimal and integer strings are read as DicomValues reads them.
    std::string seriesUid, seriesDescription, protocolName, sequenceName;
    std::optional<int> seriesNumber, instanceNumber, acquisitionNumber, temporalPositionId, echoNumber;
    std::optional<double> echoTimeMs, repetitionTimeMs, sliceThickness;
    // Value 3 of Image Type, or an enhanced object's Complex Image Component,
    // as M, P, R or I (Philips' M_SE as M); empty for any other value.
    std::string imageType;
    std::string coil;  // the coil element Siemens names in (0051,100F) or (0021,114F)
    std::string acquisitionDate, acquisitionTime, contentDate, contentTime, acquisitionDateTime;
    // Found at any depth (in the functional groups of an enhanced object), the
    // first occurrence; multi-valued texts keep their backslashes.
    std::string pixelSpacing, imagePosition, imageOrientation;
    std::optional<double> rescaleSlope, rescaleIntercept;
    std::optional<double> reductionInPlane, reductionOutOfPlane;
    // The attribute each Dimension Index Value of an enhanced object indexes, as (group << 16 | element).
    std::vector<std::uint32_t> dimensionPointers;
    // What each frame of an enhanced object gives in its own functional
    // groups; what it leaves out, the shared groups above give.
    struct FrameFacts {
        std::optional<std::uint32_t> temporal, stack;  // Temporal Position Index, In-Stack Position Number
        std::string stackId;
        std::vector<std::uint32_t> dimensionIndex;
        std::string imagePosition, imageOrientation, imageType;
        std::optional<double> rescaleSlope, rescaleIntercept, echoTimeMs;
    };
    std::vector<FrameFacts> frameOrder;  // in frame order

    // Who and what made the image, and for whom: top-level texts, trimmed, as
    // the file writes them (names in the file's character set); the receive
    // coil and field strength at any depth, as an enhanced object keeps them.
    struct Origin {
        std::string characterSet, sopInstanceUid, studyUid, frameOfReferenceUid, studyId, studyDate, studyTime,
            studyDescription, accessionNumber, referringPhysician, patientName, patientId, patientBirthDate,
            patientSex, station, serial, manufacturer, model, receiveCoil, bodyPart, patientPosition, scanningSequence,
            sequenceVariant;
        std::optional<double> fieldStrengthT;
    } origin;
};

// How many bytes a file of `storedBytes` may take once expanded (inflated,
// decoded, or its frames described one by one): 64 times its own, and up to
// 256 MiB whatever its size, since a small file of a plain image compresses
// far better. A hostile file can then take no gigabytes.
inline std::size_t readingCeiling(std::size_t storedBytes)
{
    constexpr std::size_t floor = std::size_t{256} << 20;
    return storedBytes > floor / 64 ? storedBytes * 64 : floor;
}

// Walks every element of the file, nested ones included, and checks each lies
// within the file; nothing when one does not, or the file has no transfer
// syntax. A deflated data set is inflated to be walked, up to readingCeiling
// of the file; one that inflates to more is refused.
std::optional<DicomStructure> walkDicomStructure(std::span<const unsigned char> file);

// The walk of a file of `fileSize` bytes from its first bytes alone, which
// may end inside the value of its top-level pixel data: the structure, or
// `wanting` when the walk needs more of the file.
struct DicomHeaderWalk {
    std::optional<DicomStructure> structure;
    bool wanting = false;
};
DicomHeaderWalk walkDicomHeader(std::span<const unsigned char> firstBytes, std::size_t fileSize);

}  // namespace quelby
