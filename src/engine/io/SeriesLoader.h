#pragma once

#include "engine/core/InputError.h"
#include "engine/io/FolderReader.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quelby {

// How files that are not DICOM are read: the last width × height samples.
struct RawLayout {
    int width = 256;
    int height = 256;
    SampleKind kind = SampleKind::Int16;
    bool bigEndian = false;
};

struct SeriesOptions {
    RawLayout raw;
    std::string seriesUid;  // empty: the folder must hold one series
    bool rescale = false;
};

struct SkippedFile {
    std::string name;
    std::string reason;
};

// One series in memory: the samples of every repetition in acquisition order,
// 16-bit little endian, repetition after repetition.
struct Series {
    std::string folder;
    bool dicom = false;
    int width = 0;
    int height = 0;
    std::vector<unsigned char> samples;
    std::vector<SampleKind> kinds;  // one per repetition
    std::string seriesUid, description, protocol, imagePosition;
    std::optional<std::pair<double, double>> pixelSpacing;  // between rows, between columns (mm)
    std::optional<double> reduction;                        // in-plane × out-of-plane, when every file gives it
    std::optional<std::pair<double, double>> rescale;       // slope and intercept, when applied
    std::vector<SkippedFile> skipped;
    std::vector<std::string> warnings;

    std::size_t pixels() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }
    std::size_t repetitions() const { return kinds.size(); }
    const unsigned char* repetition(std::size_t k) const { return samples.data() + 2 * pixels() * k; }
};

// Reads the series of a folder. A folder holding any DICOM file is read as
// DICOM: its images are grouped by series and ordered by instance number
// (frames of an enhanced object by temporal and stack position), ties by file
// name; files without an image are skipped. Any other folder is read by the
// raw layout. Throws InputError.
Series loadSeries(const std::string& folder, const SeriesOptions& options);

}  // namespace quelby
