#pragma once

#include "engine/io/SeriesSource.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelby {

// Where a stack's images came from and for whom, as its DICOM files say; what
// a history row, a report and derived DICOM objects name. Empty texts and
// nothing for raw and NIfTI sources and for attributes the files leave out.
// Texts are the files' own: untrusted, and in `characterSet`.
struct SeriesIdentity {
    std::string characterSet;  // Specific Character Set of the first image
    std::string studyUid, frameOfReferenceUid, studyId, studyDate, studyTime, studyDescription, accessionNumber,
        referringPhysician;
    std::string patientName, patientId, patientBirthDate, patientSex, bodyPart, patientPosition;
    std::string acquired;  // DT text of the first image in acquisition order
    std::string station, serial, manufacturer, model, receiveCoil, protocol, sequence, scanningSequence,
        sequenceVariant;
    std::optional<double> fieldStrengthT, repetitionTimeMs, echoTimeMs, sliceThicknessMm;
};

// One source image, as a derived object refers to it; a frame from 1 for a multi-frame file.
struct SourceInstance {
    std::string seriesUid, sopClassUid, sopInstanceUid;
    std::optional<std::uint32_t> frame;
    bool operator==(const SourceInstance&) const = default;
};

// Walks the first file of `stack` (its first image in position order).
// Throws InputError when that file no longer reads as it did.
SeriesIdentity seriesIdentity(const SeriesSource& source, const Stack& stack);

// Per slice, the instance of each repetition, in the stack's order, as the
// stacking's walk found them; nothing for raw and NIfTI sources.
std::vector<std::vector<SourceInstance>> sourceInstances(const SeriesSource& source, const Stack& stack);

}  // namespace quelby
