#pragma once

#include "engine/io/SeriesSource.h"

#include <memory>
#include <span>

namespace quelby {

// Whether a path names a NIfTI file (.nii or .nii.gz).
bool isNiftiPath(const std::string& path);

// Reads the header of the 4-D NIfTI file `source.path` (x, y, slice,
// repetition) into one stack whose geometry is the file's affine in DICOM
// patient coordinates. Throws InputError naming the file, for a 3-D file too.
void openNiftiSource(SeriesSource& source);

// Reads the images of a NIfTI source, holding one repetition's slices at a
// time: fastest repetition after repetition, each slice in any order.
class NiftiImages {
public:
    explicit NiftiImages(const SeriesSource& source);
    ~NiftiImages();
    NiftiImages(const NiftiImages&) = delete;
    NiftiImages& operator=(const NiftiImages&) = delete;

    // As ImageReader::read.
    SampleKind read(const ImageRef& image, std::span<unsigned char> into);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace quelby
