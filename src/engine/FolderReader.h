#pragma once

#include "MapStore.h"

#include <array>
#include <cstdint>
#include <span>
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

// Lists the folder, calls start(), then reads the image files in listing order
// into the buffers, as many at a time as there are buffers, and after each
// group calls batch(count) for the images read (in buffers[0..count)) and
// file() once per image. A file that fails still has the images read before
// it handed on, with their file() calls, before its failure goes up.
template <class Start, class Batch, class File>
void ReadImageBatches(const std::string& folder, std::span<ImageBytesBuffer> buffers, Start&& start, Batch&& batch,
                      File&& file)
{
    const std::vector<std::string> names = ListImageFiles(folder);
    start();
    std::size_t held = 0;
    const auto handOn = [&] {
        if (held == 0) return;
        batch(held);
        for (std::size_t k = 0; k < held; ++k) file();
        held = 0;
    };
    for (const std::string& name : names) {
        try {
            ReadImageFile(ImageFilePath(folder, name), buffers[held]);
        } catch (...) {
            handOn();
            throw;
        }
        if (++held == buffers.size()) handOn();
    }
    handOn();
}

// Lists the folder, calls start(), then for each image file reads it, calls
// sample(row, column, value) for its 65,536 samples row by row, and file().
template <class Start, class Sample, class File>
void ReadImageFolder(const std::string& folder, ImageBytesBuffer& buffer, Start&& start, Sample&& sample, File&& file)
{
    ReadImageBatches(
        folder, std::span<ImageBytesBuffer>(&buffer, 1), start,
        [&](std::size_t) {
            for (int r = 0; r < ImageSide; ++r)
                for (int c = 0; c < ImageSide; ++c) sample(r, c, sampleAt(buffer, r * ImageSide + c));
        },
        file);
}

}  // namespace quelby
