#pragma once

#include "engine/core/MapStore.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quelby {

inline constexpr std::int64_t ImageBytes = 2 * static_cast<std::int64_t>(FramePixels);

// The bytes of one image: the last 65,536 whole 2-byte records of a file.
using ImageBytesBuffer = std::array<unsigned char, ImageBytes>;

// How the two bytes of a sample are read: signed, as the raw rule has it, or
// unsigned, as a DICOM image with a pixel representation of 0 stores them.
enum class SampleKind : std::uint8_t { Int16, Uint16 };

// Sample `index` of two-byte samples, least significant byte first.
inline std::int32_t sampleValue(const unsigned char* samples, std::size_t index, SampleKind kind)
{
    const auto bits = static_cast<std::uint16_t>(samples[2 * index] | (samples[2 * index + 1] << 8));
    return kind == SampleKind::Int16 ? std::int32_t{static_cast<std::int16_t>(bits)} : std::int32_t{bits};
}

inline std::int32_t sampleValue(const ImageBytesBuffer& bytes, int index, SampleKind kind)
{
    return sampleValue(bytes.data(), static_cast<std::size_t>(index), kind);
}

inline std::int16_t sampleAt(const ImageBytesBuffer& bytes, int index)
{
    return static_cast<std::int16_t>(sampleValue(bytes, index, SampleKind::Int16));
}

}  // namespace quelby
