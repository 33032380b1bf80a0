#pragma once

#include "engine/core/Samples.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace quelby {

// The 128-byte preamble and "DICM" that open a DICOM file.
inline constexpr std::size_t DicomPrefixBytes = 132;

bool hasDicomPrefix(std::span<const unsigned char> firstBytes);

// Why a DICOM file gives no pixels.
enum class DicomProblem {
    Corrupt,      // truncated, or not DICOM after all
    NoImage,      // a DICOM object without pixel data (a DICOMDIR, a report)
    Undecodable,  // pixel data in a transfer syntax the library cannot decode
};

class DicomError : public std::runtime_error {
public:
    DicomError(DicomProblem problem, const std::string& transferSyntax, const std::string& detail = {});
    DicomProblem problem() const { return problem_; }
    // The transfer syntax UID, where the file names one.
    const std::string& transferSyntax() const { return transferSyntax_; }
    // What is wrong with a corrupt file, in English, where the checks say.
    const std::string& detail() const { return detail_; }

private:
    DicomProblem problem_;
    std::string transferSyntax_;
    std::string detail_;
};

// What the pixel data of a file is made of.
struct DicomPixelFormat {
    int rows = 0;
    int columns = 0;
    int frames = 0;
    int samplesPerPixel = 0;
    int bitsAllocated = 0;
    bool isSigned = false;
    bool isMonochrome = false;
};

struct DicomStructure;

// Where the frames of a plain image lie in its file: native, little endian,
// one 16-bit grey sample a pixel, so that they are read as stored.
struct PlainFrames {
    std::size_t fileBytes = 0;  // the size of the file walked
    std::size_t offset = 0;     // of frame 0
    std::size_t frameBytes = 0;
    std::uint32_t count = 0;
    SampleKind kind = SampleKind::Int16;
};

// The plain frames of a walked image whose checks passed (imageDefect), or
// nothing for any other image.
std::optional<PlainFrames> plainFrames(const DicomStructure& s, std::size_t fileBytes);

// One DICOM file: native pixel data is read where the checked structure puts
// it; anything else is parsed and decoded by the DICOM library, in a child
// process. The bytes must outlive it. Throws DicomError when the file cannot
// be parsed or holds no image.
class DicomImage {
public:
    explicit DicomImage(std::span<const unsigned char> file);
    ~DicomImage();
    DicomImage(const DicomImage&) = delete;
    DicomImage& operator=(const DicomImage&) = delete;

    const DicomPixelFormat& format() const { return format_; }

    // The decoded pixel data: every frame, row by row, each sample in the
    // host's byte order, the stored values (no rescale).
    std::size_t pixelBytes() const;
    // Decodes into `out`, which holds exactly pixelBytes(); throws DicomError.
    void decodePixels(std::span<unsigned char> out) const;
    // Frame k alone, into `out`, which holds exactly pixelBytes() / frames; throws DicomError.
    void decodeFrame(int k, std::span<unsigned char> out) const;

private:
    void copyOut(std::size_t from, std::span<unsigned char> out) const;

    struct Parsed;
    std::unique_ptr<Parsed> parsed_;
    DicomPixelFormat format_;
};

}  // namespace quelby
