#pragma once

#include "engine/io/SeriesIdentity.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quelby {

// A coded concept as DICOM's code sequences hold it.
struct DicomCode {
    std::string value, scheme, meaning;
};

// One derived object, every value decided: what crosses into the writer
// module, which only encodes it.
struct DicomObjectPlan {
    enum class Kind { Parametric, Mr };
    Kind kind = Kind::Parametric;
    SeriesIdentity identity;  // the source's; texts as the files gave them
    std::string studyUid, frameOfReferenceUid, seriesUid, instanceUid;
    int seriesNumber = 1, instanceNumber = 1;
    std::string seriesDescription, contentLabel, contentDate, contentTime, software;
    int rows = 0, columns = 0;
    std::pair<double, double> pixelSpacing{1, 1};  // between rows, between columns
    std::array<double, 6> orientation{};
    std::optional<double> sliceThickness, sliceSpacing;
    // One per frame: a parametric map's slices, or the one image of an MR object.
    std::vector<std::array<double, 3>> positions;
    std::vector<std::vector<SourceInstance>> sources;
    DicomCode unit, derivation;
    // A parametric map: the values, frame after frame, row by row, and their finite range.
    std::vector<float> values;
    double lowest = 0, highest = 0;
    // An MR image: stored values, and the texts of the rescale and window that give the map.
    std::vector<std::uint16_t> stored;
    std::string slope, intercept, windowCenter, windowWidth;
};

// The file's bytes, or why there are none.
struct DicomWritten {
    std::vector<char> bytes;
    std::string error;
};

// The one entry point of the writer module.
using DicomWrite = void (*)(const DicomObjectPlan& plan, DicomWritten& written);
inline constexpr char DicomWriteName[] = "quelby_dicom_writer_write";

}  // namespace quelby
