#pragma once

#include "MapStore.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quelby {

inline constexpr std::int64_t ImageBytes = 2 * static_cast<std::int64_t>(FramePixels);

// The bytes of one image: the last 65,536 whole 2-byte records of a file.
using ImageBytesBuffer = std::array<unsigned char, ImageBytes>;

inline std::int16_t sampleAt(const ImageBytesBuffer& bytes, int index)
{
    return static_cast<std::int16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

// The image files of a folder, in the order the passes take them: names sorted
// case-insensitively (ASCII), ties byte-wise. Hidden entries (names beginning
// with "."), folders and entries that are neither regular files nor folders
// after following links are left out. A folder that cannot be listed throws
// its file failure.
std::vector<std::string> ListImageFiles(const std::string& folder);

// The path of an entry: the folder's path as given, "/", the name.
std::string ImageFilePath(const std::string& folder, const std::string& name);

int CountImageFiles(const std::string& folder);

// Reads the image of one file, opened read-only, with one positioned read.
// Throws the file failure of the step that fails; a file shorter than one
// image fails as a move before the file's start does (EINVAL).
void ReadImageFile(const std::string& path, ImageBytesBuffer& bytes);

// Lists the folder, calls start(), then for each image file reads it, calls
// sample(row, column, value) for its 65,536 samples row by row, and file().
template <class Start, class Sample, class File>
void ReadImageFolder(const std::string& folder, ImageBytesBuffer& buffer, Start&& start, Sample&& sample, File&& file)
{
    const std::vector<std::string> names = ListImageFiles(folder);
    start();
    for (const std::string& name : names) {
        ReadImageFile(ImageFilePath(folder, name), buffer);
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c) sample(r, c, sampleAt(buffer, r * ImageSide + c));
        file();
    }
}

}  // namespace quelby
