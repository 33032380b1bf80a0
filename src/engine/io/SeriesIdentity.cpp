#include "engine/io/SeriesIdentity.h"

#include "engine/core/InputError.h"
#include "engine/io/DicomHeader.h"
#include "engine/io/FileFailure.h"
#include "engine/io/InputFile.h"


namespace quelby {

namespace {

// The walk of a file the stacking has read once already.
DicomStructure walked(const std::string& path, std::vector<unsigned char>& bytes)
{
    std::optional<DicomStructure> structure;
    try {
        structure = readDicomHeader(InputFile(path), bytes);
    } catch (const FileFailure& failure) {
        throw failure.inEnglish();
    }
    if (!structure) throw InputError(path.substr(path.rfind('/') + 1) + ": a truncated or corrupt DICOM file");
    return std::move(*structure);
}

bool fromDicom(const SeriesSource& source, const Stack& stack)
{
    return source.format == SeriesSource::Format::Dicom && !stack.slices.empty() &&
           !stack.slices.front().repetitions.empty();
}

}  // namespace

SeriesIdentity seriesIdentity(const SeriesSource& source, const Stack& stack)
{
    SeriesIdentity id;
    id.acquired = stack.acquisitionStart.value_or("");
    id.protocol = stack.keys.protocol;
    id.sequence = stack.keys.sequence;
    id.repetitionTimeMs = stack.keys.repetitionTimeMs;
    id.echoTimeMs = stack.keys.echoTimeMs;
    id.sliceThicknessMm = stack.geometry.sliceThickness;
    if (!fromDicom(source, stack)) return id;
    std::vector<unsigned char> bytes;
    const DicomStructure::Origin o =
        walked(source.files.at(stack.slices.front().repetitions.front().file), bytes).origin;
    id.characterSet = o.characterSet;
    id.studyUid = o.studyUid;
    id.frameOfReferenceUid = o.frameOfReferenceUid;
    id.studyId = o.studyId;
    id.studyDate = o.studyDate;
    id.studyTime = o.studyTime;
    id.studyDescription = o.studyDescription;
    id.accessionNumber = o.accessionNumber;
    id.referringPhysician = o.referringPhysician;
    id.patientName = o.patientName;
    id.patientId = o.patientId;
    id.patientBirthDate = o.patientBirthDate;
    id.patientSex = o.patientSex;
    id.bodyPart = o.bodyPart;
    id.patientPosition = o.patientPosition;
    id.station = o.station;
    id.serial = o.serial;
    id.manufacturer = o.manufacturer;
    id.model = o.model;
    id.receiveCoil = o.receiveCoil;
    id.scanningSequence = o.scanningSequence;
    id.sequenceVariant = o.sequenceVariant;
    id.fieldStrengthT = o.fieldStrengthT;
    return id;
}

std::vector<std::vector<SourceInstance>> sourceInstances(const SeriesSource& source, const Stack& stack)
{
    if (!fromDicom(source, stack)) return {};
    std::vector<std::vector<SourceInstance>> instances;
    for (const StackSlice& slice : stack.slices) {
        std::vector<SourceInstance>& own = instances.emplace_back();
        for (const ImageRef& image : slice.repetitions) {
            const FileInstance& file = source.instances.at(image.file);
            own.push_back({file.seriesUid, file.sopClassUid, file.sopInstanceUid,
                           file.multiFrame ? std::optional<std::uint32_t>(image.frame + 1) : std::nullopt});
        }
    }
    return instances;
}

}  // namespace quelby
