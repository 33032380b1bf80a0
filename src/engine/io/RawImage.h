#pragma once

#include "engine/io/InputFile.h"
#include "engine/io/SeriesSource.h"

#include <cstdint>
#include <span>

namespace quelby {

// The bytes of one raw image of the layout: two per sample.
std::int64_t rawImageBytes(const RawLayout& layout);

// The raw rule: the image is the last width × height whole two-byte records
// of the file, counted from its first byte; anything before them is ignored.
// Into `into` (rawImageBytes long) least significant byte first, swapped from
// big endian where the layout says so. A file shorter than one image fails
// as the move before its start would (EINVAL).
void readRawImage(const InputFile& file, const RawLayout& layout, std::span<unsigned char> into);

}  // namespace quelby
