#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// Transfer syntax UIDs a scanner or an archive may write.
namespace ts {
inline constexpr const char* ImplicitLittle = "1.2.840.10008.1.2";
inline constexpr const char* ExplicitLittle = "1.2.840.10008.1.2.1";
inline constexpr const char* Deflated = "1.2.840.10008.1.2.1.99";
inline constexpr const char* ExplicitBig = "1.2.840.10008.1.2.2";
inline constexpr const char* JpegLossless = "1.2.840.10008.1.2.4.70";
inline constexpr const char* JpegLsLossless = "1.2.840.10008.1.2.4.80";
inline constexpr const char* Jpeg2000Lossless = "1.2.840.10008.1.2.4.90";
inline constexpr const char* Rle = "1.2.840.10008.1.2.5";
}  // namespace ts

// How one DICOM image file is laid out.
struct DicomLayout {
    int rows = 256;
    int columns = 256;
    int frames = 1;
    int samplesPerPixel = 1;
    int bitsAllocated = 16;
    bool isSigned = true;
    std::string transferSyntax = ts::ExplicitLittle;
    // Bytes of a trailing padding element (FFFC,FFFC) after the pixel data.
    int trailingPadding = 0;

    // What a scanner writes beside the pixels; empty or absent: left out.
    std::string seriesUid, seriesDescription, protocolName, pixelSpacing, imagePosition;
    std::optional<int> instanceNumber;
    std::optional<double> reductionInPlane, rescaleSlope, rescaleIntercept;
    // Further top-level attributes, tag (group << 16 | element) → value as
    // the file holds it ("+4", "ORIGINAL\\PRIMARY\\M\\ND"), VR from the
    // dictionary (LO for private tags); written last, so they override the above.
    std::map<std::uint32_t, std::string> attributes;
    // Top-level attributes the library fills in when they are absent (study
    // UID, date and time, SOP instance UID…), removed once it has.
    std::vector<std::uint32_t> omitted;
    // An enhanced MR object: pixel spacing, reduction and rescale go into the
    // shared functional groups, and each frame gets its temporal position
    // index from here (frames in file order when empty) and, where given, its
    // in-stack position, plane position and rescale intercept.
    bool enhanced = false;
    std::vector<std::uint32_t> temporalPositions, stackPositions;
    std::vector<std::string> framePositions;
    std::vector<double> frameIntercepts;
};

// Writes one MR image file of the layout; `samples` holds frames × rows ×
// columns × samples per pixel values, frame after frame, row by row, each
// within the range of the layout's samples. Throws std::runtime_error when it cannot.
void writeDicomImage(const std::string& path, const DicomLayout& layout, std::span<const std::int32_t> samples);

// A 256 × 256 image whose pixel data is a fragment of junk in an encapsulated
// transfer syntax, such as MPEG-2, that no codec here decodes.
void writeEncapsulatedDicom(const std::string& path, const char* transferSyntax);

// A DICOM file (preamble and "DICM") without pixel data, as a DICOMDIR is.
void writeDicomWithoutImage(const std::string& path);

}  // namespace quelby
