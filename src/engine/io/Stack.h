#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quelby {

// One image of a series: a frame of one of the source's files (frame 0 of a
// classic file; a volume of a 4-D NIfTI file is the file's frame).
struct ImageRef {
    std::uint32_t file = 0;   // index into the source's files
    std::uint32_t frame = 0;  // within the file, as stored
};

// What sets one stack of images apart from another in the same folder.
struct StackKeys {
    std::vector<std::string> seriesUids;  // more than one when separate series are joined
    std::optional<int> seriesNumber;  // the first series'
    std::string description, protocol, sequence;
    std::optional<int> echoNumber;
    std::optional<double> echoTimeMs;
    std::optional<double> repetitionTimeMs;
    std::string coil;       // the coil element, where the scanner names it
    std::string imageType;  // M, P, R or I (value 3 of Image Type, Philips' M_SE as M); empty when not given
    int rows = 0, columns = 0;
};

// Where the stack lies, in DICOM patient coordinates (LPS, mm).
struct StackGeometry {
    std::optional<std::pair<double, double>> pixelSpacing;  // between rows, between columns
    std::optional<std::array<double, 6>> orientation;       // the row's then the column's direction cosines
    std::optional<double> sliceThickness;
    std::optional<double> sliceSpacing;  // between slice centres, from their positions (several slices)
};

struct StackSlice {
    double positionMm = 0;  // along the normal (row × column cosines), patient coordinates; 0 without geometry
    std::optional<std::array<double, 3>> origin;  // the patient position of the first voxel
    std::vector<ImageRef> repetitions;            // in acquisition order
};

// The stored values v of every image of a stack give v · slope + intercept.
struct Rescale {
    double slope = 1, intercept = 0;
    bool operator==(const Rescale&) const = default;
};

// One acquisition: slices in position order, each with the same number of
// repetitions in acquisition order.
struct Stack {
    StackKeys keys;
    StackGeometry geometry;
    std::vector<StackSlice> slices;
    std::optional<Rescale> rescale;    // given by the files (Modality LUT); the same for every image
    std::optional<double> reduction;   // in-plane × out-of-plane, when every image gives it
    std::optional<std::string> acquisitionStart;  // date and time of the first image, where given
    std::vector<std::string> warnings;

    std::size_t repetitions() const { return slices.empty() ? 0 : slices.front().repetitions.size(); }
};

}  // namespace quelby
