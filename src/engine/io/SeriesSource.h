#pragma once

#include "engine/core/Samples.h"
#include "engine/io/DicomImage.h"
#include "engine/io/Stack.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// How files that are not DICOM are read: the last width × height two-byte samples.
struct RawLayout {
    int width = 256;
    int height = 256;
    SampleKind kind = SampleKind::Int16;
    bool bigEndian = false;
};

// What a DICOM file of a source is, as objects derived from it refer to it.
struct FileInstance {
    std::string seriesUid, sopClassUid, sopInstanceUid;
    bool multiFrame = false;
    std::optional<PlainFrames> plain;  // read without walking the file again
};

struct SkippedFile {
    std::string name;
    std::string reason;
};

// What a folder of image files, or a 4-D NIfTI file, holds: its files and every
// stack of images found in them.
struct SeriesSource {
    enum class Format { Raw, Dicom, Nifti };
    std::string path;  // as given
    Format format = Format::Raw;
    RawLayout raw;                   // how the files of a raw source are read
    std::vector<std::string> files;  // paths; ImageRef::file indexes them
    std::vector<Stack> stacks;
    std::vector<FileInstance> instances;  // one a file of a DICOM source, as the stacking walked it
    std::vector<SkippedFile> skipped;
    std::vector<std::string> warnings;
};

// Which stack of a source to measure; empty fields choose nothing.
struct StackChoice {
    std::vector<std::string> seriesUids;  // one, or several to join as repetitions
    std::optional<int> echo;
    std::string coil;
    std::string imageType;  // M, R or I
};

// Reads what `path` holds: a 4-D NIfTI file (.nii, .nii.gz), a folder holding
// any DICOM file, or a folder of raw files (one stack, one slice, each file a
// repetition). Throws InputError naming the path and why.
SeriesSource openSeriesSource(const std::string& path, const RawLayout& raw);

// The samples of the images of a source, one image at a time.
class ImageReader {
public:
    explicit ImageReader(const SeriesSource& source);
    ~ImageReader();
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    // Rows × columns two-byte samples, least significant byte first, row 0
    // first, into `into` (which holds exactly that); their kind. The stored
    // values: no rescale. Throws InputError naming the file. Two threads may
    // read at once.
    SampleKind read(const ImageRef& image, std::span<unsigned char> into);

private:
    struct State;
    const SeriesSource& source_;
    std::unique_ptr<State> state_;
};

}  // namespace quelby
