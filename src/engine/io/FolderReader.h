#pragma once

#include "engine/core/MapStore.h"
#include "engine/core/Samples.h"
#include "engine/io/ImageFolder.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// How the image files of a folder are read. A folder holding any DICOM
// file is a DICOM series, every file of which must be a DICOM image; any other
// folder is a raw series, read by the raw rule.
enum class SeriesFormat : std::uint8_t { Raw, Dicom };

// The format of the listed files, from their first bytes. A file that cannot
// be opened or read here decides nothing: its read fails in the pass. Throws,
// naming the first file that is not DICOM, when DICOM files are mixed with others.
SeriesFormat ProbeSeriesFormat(const std::string& folder, const std::vector<std::string>& names);

// Reads the image of one file, opened read-only. A raw file gives its last
// 65,536 records by the raw rule (RawImage.h): signed, little endian. A DICOM file gives
// its decoded pixel data, and fails naming the file when it is not one
// 256 × 256 frame of 16-bit grey samples. Throws the file failure of the
// step that fails.
SampleKind ReadImageFile(const std::string& path, ImageBytesBuffer& bytes, SeriesFormat format = SeriesFormat::Raw);

// Lists the folder, calls start(), then reads the image files in listing order
// into the buffers, and hands them on in groups: batch(images, kind) for
// consecutive images of one sample kind, then file() once per image. A group
// ends when the kind changes or when it reaches a multiple of `group` buffers
// (all of them by default). The first image goes into buffers[firstBuffer],
// each next one into the buffer after the last one read, the first after the
// last. So the buffers of the group handed on last are never read into before
// the next group is handed on, and with twice `group` buffers a group may
// still be in use while the next is read. A file that fails still
// has the images read before it handed on, with their file() calls, before its
// failure goes up.
template <class Start, class Batch, class File>
void ReadImageBatches(const std::string& folder, std::span<ImageBytesBuffer> buffers, Start&& start, Batch&& batch,
                      File&& file, std::size_t group = 0, std::size_t firstBuffer = 0)
{
    if (group == 0 || group > buffers.size()) group = buffers.size();
    const std::vector<std::string> names = ListImageFiles(folder);
    const SeriesFormat format = ProbeSeriesFormat(folder, names);
    start();
    std::size_t first = firstBuffer, held = 0;
    SampleKind heldKind = SampleKind::Int16;
    const auto handOn = [&](std::size_t count) {
        if (count == 0) return;
        batch(buffers.subspan(first, count), heldKind);
        for (std::size_t k = 0; k < count; ++k) file();
    };
    for (const std::string& name : names) {
        const std::size_t slot = first + held;
        SampleKind kind;
        try {
            kind = ReadImageFile(ImageFilePath(folder, name), buffers[slot], format);
        } catch (...) {
            handOn(held);
            throw;
        }
        if (held > 0 && kind != heldKind) {
            handOn(held);
            first = slot;
            held = 0;
        }
        heldKind = kind;
        if (++held, (first + held) % group == 0) {
            handOn(held);
            first = (first + held) % buffers.size();
            held = 0;
        }
    }
    handOn(held);
}

// Lists the folder, calls start(), then for each image file reads it, calls
// sample(row, column, value) for its 65,536 samples row by row, and file().
template <class Start, class Sample, class File>
void ReadImageFolder(const std::string& folder, ImageBytesBuffer& buffer, Start&& start, Sample&& sample, File&& file)
{
    ReadImageBatches(
        folder, std::span<ImageBytesBuffer>(&buffer, 1), start,
        [&](std::span<ImageBytesBuffer>, SampleKind kind) {
            for (int r = 0; r < ImageSide; ++r)
                for (int c = 0; c < ImageSide; ++c) sample(r, c, sampleValue(buffer, r * ImageSide + c, kind));
        },
        file);
}

}  // namespace quelby
