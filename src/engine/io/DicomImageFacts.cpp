#include "engine/io/DicomImageFacts.h"

#include "engine/io/DicomValues.h"

#include <algorithm>

namespace quelby {

namespace {

template <std::size_t N>
std::optional<std::array<double, N>> decimals(const std::string& text)
{
    const std::optional<std::vector<double>> values = decimalValues(text);
    if (!values || values->size() != N) return std::nullopt;
    std::array<double, N> fixed{};
    std::copy(values->begin(), values->end(), fixed.begin());
    return fixed;
}

std::optional<Rescale> rescaleOf(std::optional<double> slope, std::optional<double> intercept)
{
    if (!slope && !intercept) return std::nullopt;
    return Rescale{slope.value_or(1.0), intercept.value_or(0.0)};
}

// When the image was acquired, as far as the file says.
std::string acquiredOf(const DicomStructure& d)
{
    if (!d.acquisitionDateTime.empty()) return d.acquisitionDateTime;
    const std::string& time = d.acquisitionTime.empty() ? d.contentTime : d.acquisitionTime;
    if (time.empty()) return "";
    return (d.acquisitionDate.empty() ? d.contentDate : d.acquisitionDate) + time;
}

DicomImageFacts topLevelFacts(const DicomStructure& d, std::uint32_t file)
{
    DicomImageFacts f;
    f.image.file = file;
    StackKeys& k = f.keys;
    k.seriesUids = {d.seriesUid};
    k.seriesNumber = d.seriesNumber;
    k.description = d.seriesDescription;
    k.protocol = d.protocolName;
    k.sequence = d.sequenceName;
    k.echoNumber = d.echoNumber;
    k.echoTimeMs = d.echoTimeMs;
    k.repetitionTimeMs = d.repetitionTimeMs;
    k.coil = d.coil;
    k.imageType = d.imageType;
    k.rows = d.rows.value_or(0);
    k.columns = d.columns.value_or(0);
    if (const auto spacing = decimals<2>(d.pixelSpacing)) f.pixelSpacing = std::pair{(*spacing)[0], (*spacing)[1]};
    f.orientation = decimals<6>(d.imageOrientation);
    f.position = decimals<3>(d.imagePosition);
    f.sliceThickness = d.sliceThickness;
    f.temporal = d.temporalPositionId;
    f.acquisitionNumber = d.acquisitionNumber;
    f.instanceNumber = d.instanceNumber;
    f.acquired = acquiredOf(d);
    f.rescale = rescaleOf(d.rescaleSlope, d.rescaleIntercept);
    if (d.reductionInPlane) f.reduction = *d.reductionInPlane * d.reductionOutOfPlane.value_or(1.0);
    return f;
}

// A frame's own functional groups over what the whole object gives; its
// Dimension Index Values stand in for a stack or temporal position it leaves out.
void applyFrame(const DicomStructure& d, const DicomStructure::FrameFacts& frame, DicomImageFacts& f)
{
    if (!frame.imagePosition.empty()) f.position = decimals<3>(frame.imagePosition);
    if (!frame.imageOrientation.empty()) f.orientation = decimals<6>(frame.imageOrientation);
    if (!frame.imageType.empty()) f.keys.imageType = frame.imageType;
    if (frame.echoTimeMs) f.keys.echoTimeMs = frame.echoTimeMs;
    if (frame.rescaleSlope || frame.rescaleIntercept)
        f.rescale = rescaleOf(frame.rescaleSlope ? frame.rescaleSlope : d.rescaleSlope,
                              frame.rescaleIntercept ? frame.rescaleIntercept : d.rescaleIntercept);
    f.stackId = frame.stackId;
    f.inStackPosition = frame.stack;
    if (frame.temporal) f.temporal = *frame.temporal;
    if (frame.dimensionIndex.size() != d.dimensionPointers.size()) return;
    for (std::size_t i = 0; i < frame.dimensionIndex.size(); ++i) {
        const std::uint32_t value = frame.dimensionIndex[i];
        switch (d.dimensionPointers[i]) {
        case 0x00209057:
            if (!f.inStackPosition) f.inStackPosition = value;
            break;
        case 0x00209128:
            if (!frame.temporal) f.temporal = value;
            break;
        case 0x00209056:
            if (f.stackId.empty()) f.stackId = std::to_string(value);
            break;
        default: break;
        }
    }
}

}  // namespace

std::vector<DicomImageFacts> dicomImageFacts(const DicomStructure& structure, std::uint32_t file)
{
    const DicomImageFacts whole = topLevelFacts(structure, file);
    const auto frames = static_cast<std::uint32_t>(std::max(1, structure.frames.value_or(1)));
    std::vector<DicomImageFacts> images(frames, whole);
    const bool ownGroups = structure.frameOrder.size() == frames;
    for (std::uint32_t k = 0; k < frames; ++k) {
        images[k].image.frame = k;
        if (ownGroups) applyFrame(structure, structure.frameOrder[k], images[k]);
    }
    return images;
}

}  // namespace quelby
