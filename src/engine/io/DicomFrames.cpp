#include "engine/io/DicomFrames.h"

#include <cstdint>

namespace quelby {

const DicomPixelFormat& DicomFrames::open(const InputFile& file)
{
    image_.reset();
    file.readAll(bytes_);
    image_ = std::make_unique<DicomImage>(bytes_);
    path_ = file.path();
    return image_->format();
}

SampleKind DicomFrames::frame(int k, std::span<unsigned char> into)
{
    if (!image_) throw DicomError(DicomProblem::Corrupt, {});
    const DicomPixelFormat& f = image_->format();
    if (f.samplesPerPixel != 1 || (f.bitsAllocated != 8 && f.bitsAllocated != 16))
        throw DicomError(DicomProblem::Corrupt, {});
    const SampleKind kind = f.isSigned ? SampleKind::Int16 : SampleKind::Uint16;
    if (f.bitsAllocated == 16) {
        image_->decodeFrame(k, into);
        return kind;
    }
    narrow_.resize(into.size() / 2);
    image_->decodeFrame(k, narrow_);
    for (std::size_t p = 0; p < narrow_.size(); ++p) {
        const auto value = f.isSigned ? static_cast<std::uint16_t>(static_cast<std::int8_t>(narrow_[p]))
                                      : static_cast<std::uint16_t>(narrow_[p]);
        into[2 * p] = static_cast<unsigned char>(value & 0xFF);
        into[2 * p + 1] = static_cast<unsigned char>(value >> 8);
    }
    return kind;
}

}  // namespace quelby
