#pragma once

#include "engine/io/DicomStructure.h"
#include "engine/io/Stack.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quelby {

// What one image (a classic file, or one frame of an enhanced file) says of
// itself: what sets its stack apart, where it lies and when it was acquired.
struct DicomImageFacts {
    ImageRef image;
    StackKeys keys;  // one series UID
    std::optional<std::pair<double, double>> pixelSpacing;
    std::optional<std::array<double, 6>> orientation;
    std::optional<std::array<double, 3>> position;
    std::optional<double> sliceThickness;
    // An enhanced frame's place in its stack, where no position gives it.
    std::string stackId;
    std::optional<std::uint32_t> inStackPosition;
    // Acquisition order: temporal position (identifier, or an enhanced
    // frame's index), acquisition number, date and time, instance number.
    std::optional<long long> temporal;
    std::optional<int> acquisitionNumber, instanceNumber;
    std::string acquired;  // date and time as DICOM's DT writes them; the time alone without a date
    std::optional<Rescale> rescale;
    std::optional<double> reduction;  // in-plane × out-of-plane
};

// The images of one walked file: one, or one per frame of an enhanced file.
std::vector<DicomImageFacts> dicomImageFacts(const DicomStructure& structure, std::uint32_t file);

}  // namespace quelby
