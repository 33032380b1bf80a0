#pragma once

#include "engine/core/Samples.h"
#include "engine/io/DicomImage.h"
#include "engine/io/InputFile.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// The frames of DICOM files as two-byte samples. The file opened last is
// kept, so that the frames of one enhanced file are read and decoded once.
class DicomFrames {
public:
    // Whether `path` is the file kept.
    bool holds(const std::string& path) const { return image_ && path == path_; }
    // The file read whole through `file` and parsed, kept in place of the last
    // one; its pixel format. Throws DicomError, or the file's FileFailure.
    const DicomPixelFormat& open(const InputFile& file);
    // The pixel format of the file kept.
    const DicomPixelFormat& format() const { return image_->format(); }
    // Frame k of the file kept, least significant byte first, 8-bit samples
    // widened with their sign, into `into` (rows × columns × 2 bytes); the
    // kind of its samples. Only one-sample images of 8 or 16 bits; throws
    // DicomError for others and for pixel data of a length other than the
    // attributes promise.
    SampleKind frame(int k, std::span<unsigned char> into);

private:
    std::string path_;
    std::vector<unsigned char> bytes_, narrow_;  // the whole file; a frame of 8-bit samples
    std::unique_ptr<DicomImage> image_;
};

}  // namespace quelby
