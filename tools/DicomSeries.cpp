#include "DicomSeries.h"

#include "export/GdcmSequence.h"

#include <gdcmDicts.h>
#include <gdcmFragment.h>
#include <gdcmGlobal.h>
#include <gdcmImageChangeTransferSyntax.h>
#include <gdcmImageWriter.h>
#include <gdcmUIDGenerator.h>
#include <gdcmItem.h>
#include <gdcmSequenceOfFragments.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmTrace.h>
#include <gdcmWriter.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace quelby {

namespace {

gdcm::PixelFormat pixelFormatOf(const DicomLayout& layout)
{
    const auto bits = static_cast<unsigned short>(layout.bitsAllocated);
    gdcm::PixelFormat format(static_cast<unsigned short>(layout.samplesPerPixel), bits, bits,
                             static_cast<unsigned short>(bits - 1), layout.isSigned ? 1 : 0);
    return format;
}

// The samples as the pixel data holds them, in the host's (little-endian) order.
std::vector<char> pixelBytes(const DicomLayout& layout, std::span<const std::int32_t> samples)
{
    std::vector<char> bytes;
    const int width = layout.bitsAllocated / 8;
    bytes.reserve(samples.size() * static_cast<std::size_t>(width));
    for (const std::int32_t s : samples) {
        const auto u = static_cast<std::uint32_t>(s);
        for (int b = 0; b < width; ++b) bytes.push_back(static_cast<char>((u >> (8 * b)) & 0xFF));
    }
    return bytes;
}

void setText(gdcm::DataSet& data, std::uint16_t group, std::uint16_t element, const char* vr, const std::string& text)
{
    gdcm::DataElement de(gdcm::Tag(group, element));
    de.SetVR(gdcm::VR::GetVRType(vr));
    std::string value = text;
    if (value.size() % 2 != 0) value.push_back(vr == std::string("UI") ? '\0' : ' ');
    de.SetByteValue(value.data(), static_cast<std::uint32_t>(value.size()));
    data.Replace(de);
}

// The library's warnings about the minimal objects written here.
void quietLibrary()
{
    gdcm::Trace::SetWarning(false);
}

// The values of a multi-valued decimal text, such as "0.8\\0.9".
std::vector<double> numbers(const std::string& text)
{
    std::vector<double> values;
    std::size_t from = 0;
    while (!text.empty() && from <= text.size()) {
        const std::size_t at = std::min(text.find('\\', from), text.size());
        values.push_back(std::stod(text.substr(from, at - from)));
        from = at + 1;
    }
    return values;
}

void setNumber(gdcm::DataSet& data, std::uint16_t group, std::uint16_t element, double value)
{
    gdcm::DataElement de(gdcm::Tag(group, element));
    de.SetVR(gdcm::VR::FD);
    de.SetByteValue(reinterpret_cast<const char*>(&value), sizeof value);
    data.Replace(de);
}

void setUnsigned(gdcm::DataSet& data, std::uint16_t group, std::uint16_t element, std::uint32_t value)
{
    gdcm::DataElement de(gdcm::Tag(group, element));
    de.SetVR(gdcm::VR::UL);
    de.SetByteValue(reinterpret_cast<const char*>(&value), sizeof value);
    data.Replace(de);
}

// A sequence of the given items.
void setSequence(gdcm::DataSet& data, std::uint16_t group, std::uint16_t element, const std::vector<gdcm::DataSet>& items)
{
    putGdcmSequence(data, gdcm::Tag(group, element), items);
}

// Where an enhanced object keeps what a classic one has at the top.
void setFunctionalGroups(gdcm::DataSet& data, const DicomLayout& layout)
{
    gdcm::DataSet measures, modifier, transformation, shared;
    if (!layout.pixelSpacing.empty()) setText(measures, 0x0028, 0x0030, "DS", layout.pixelSpacing);
    if (layout.reductionInPlane) setNumber(modifier, 0x0018, 0x9069, *layout.reductionInPlane);
    if (layout.rescaleSlope) setText(transformation, 0x0028, 0x1053, "DS", std::to_string(*layout.rescaleSlope));
    if (layout.rescaleIntercept) setText(transformation, 0x0028, 0x1052, "DS", std::to_string(*layout.rescaleIntercept));
    setSequence(shared, 0x0028, 0x9110, {measures});
    setSequence(shared, 0x0018, 0x9006, {modifier});
    setSequence(shared, 0x0028, 0x9145, {transformation});
    setSequence(data, 0x5200, 0x9229, {shared});
    std::vector<gdcm::DataSet> frames;
    for (std::size_t k = 0; k < static_cast<std::size_t>(layout.frames); ++k) {
        gdcm::DataSet content, frame;
        const std::uint32_t temporal = layout.temporalPositions.empty() ? static_cast<std::uint32_t>(k + 1)
                                                                        : layout.temporalPositions.at(k);
        setUnsigned(content, 0x0020, 0x9128, temporal);
        if (!layout.stackPositions.empty()) setUnsigned(content, 0x0020, 0x9057, layout.stackPositions.at(k));
        setSequence(frame, 0x0020, 0x9111, {content});
        if (!layout.framePositions.empty()) {
            gdcm::DataSet plane;
            setText(plane, 0x0020, 0x0032, "DS", layout.framePositions.at(k));
            setSequence(frame, 0x0020, 0x9113, {plane});
        }
        if (!layout.frameIntercepts.empty()) {
            gdcm::DataSet own;
            setText(own, 0x0028, 0x1052, "DS", std::to_string(layout.frameIntercepts.at(k)));
            setSequence(frame, 0x0028, 0x9145, {own});
        }
        frames.push_back(frame);
    }
    setSequence(data, 0x5200, 0x9230, frames);
}

void setDescription(gdcm::DataSet& data, const DicomLayout& layout)
{
    if (!layout.seriesUid.empty()) setText(data, 0x0020, 0x000E, "UI", layout.seriesUid);
    if (!layout.seriesDescription.empty()) setText(data, 0x0008, 0x103E, "LO", layout.seriesDescription);
    if (!layout.protocolName.empty()) setText(data, 0x0018, 0x1030, "LO", layout.protocolName);
    if (!layout.imagePosition.empty()) setText(data, 0x0020, 0x0032, "DS", layout.imagePosition);
    if (layout.instanceNumber) setText(data, 0x0020, 0x0013, "IS", std::to_string(*layout.instanceNumber));
    if (layout.enhanced) return setFunctionalGroups(data, layout);
    if (!layout.pixelSpacing.empty()) setText(data, 0x0028, 0x0030, "DS", layout.pixelSpacing);
    if (layout.reductionInPlane) setNumber(data, 0x0018, 0x9069, *layout.reductionInPlane);
    if (layout.rescaleSlope) setText(data, 0x0028, 0x1053, "DS", std::to_string(*layout.rescaleSlope));
    if (layout.rescaleIntercept) setText(data, 0x0028, 0x1052, "DS", std::to_string(*layout.rescaleIntercept));
}

void setAttributes(gdcm::DataSet& data, const DicomLayout& layout)
{
    for (const auto& [tag, value] : layout.attributes) {
        const gdcm::Tag t(static_cast<std::uint16_t>(tag >> 16), static_cast<std::uint16_t>(tag & 0xFFFF));
        const gdcm::VR vr = t.IsPrivate() ? gdcm::VR(gdcm::VR::LO) : gdcm::Global::GetInstance().GetDicts().GetDictEntry(t).GetVR();
        setText(data, t.GetGroup(), t.GetElement(), gdcm::VR::GetVRString(vr), value);
    }
}

}  // namespace

void writeDicomImage(const std::string& path, const DicomLayout& layout, std::span<const std::int32_t> samples)
{
    const std::size_t expected = static_cast<std::size_t>(layout.frames) * static_cast<std::size_t>(layout.rows) *
                                 static_cast<std::size_t>(layout.columns) *
                                 static_cast<std::size_t>(layout.samplesPerPixel);
    if (samples.size() != expected) throw std::runtime_error("sample count does not fit the layout");
    quietLibrary();

    gdcm::SmartPointer<gdcm::Image> image = new gdcm::Image;
    const unsigned int dims[3] = {static_cast<unsigned int>(layout.columns), static_cast<unsigned int>(layout.rows),
                                  static_cast<unsigned int>(layout.frames)};
    image->SetNumberOfDimensions(layout.frames > 1 ? 3 : 2);
    image->SetDimensions(dims);
    image->SetPixelFormat(pixelFormatOf(layout));
    image->SetPhotometricInterpretation(layout.samplesPerPixel == 3 ? gdcm::PhotometricInterpretation::RGB
                                                                    : gdcm::PhotometricInterpretation::MONOCHROME2);
    if (layout.samplesPerPixel == 3) image->SetPlanarConfiguration(0);
    image->SetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    // The writer takes spacing and position from the image, not from the data set.
    const std::vector<double> spacing = numbers(layout.pixelSpacing), origin = numbers(layout.imagePosition);
    if (spacing.size() == 2) {
        image->SetSpacing(0, spacing[1]);
        image->SetSpacing(1, spacing[0]);
    }
    for (std::size_t k = 0; k < origin.size() && k < 3; ++k) image->SetOrigin(static_cast<unsigned int>(k), origin[k]);
    const std::vector<char> bytes = pixelBytes(layout, samples);
    gdcm::DataElement pixels(gdcm::Tag(0x7FE0, 0x0010));
    pixels.SetByteValue(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    image->SetDataElement(pixels);

    gdcm::ImageChangeTransferSyntax change;
    change.SetTransferSyntax(gdcm::TransferSyntax::GetTSType(layout.transferSyntax.c_str()));
    change.SetInput(*image);
    if (!change.Change()) throw std::runtime_error("cannot encode in " + layout.transferSyntax);

    gdcm::ImageWriter writer;
    writer.SetImage(change.GetOutput());
    gdcm::DataSet& data = writer.GetFile().GetDataSet();
    // MR Image Storage, or Enhanced MR Image Storage
    setText(data, 0x0008, 0x0016, "UI", layout.enhanced ? "1.2.840.10008.5.1.4.1.1.4.1" : "1.2.840.10008.5.1.4.1.1.4");
    setText(data, 0x0008, 0x0060, "CS", "MR");
    setDescription(data, layout);
    setAttributes(data, layout);
    if (layout.trailingPadding > 0) {
        gdcm::DataElement padding(gdcm::Tag(0xFFFC, 0xFFFC));
        padding.SetVR(gdcm::VR::OB);
        const std::vector<char> zeros(static_cast<std::size_t>(layout.trailingPadding), 0);
        padding.SetByteValue(zeros.data(), static_cast<std::uint32_t>(zeros.size()));
        data.Replace(padding);
    }
    writer.SetFileName(path.c_str());
    if (!writer.Write()) throw std::runtime_error("cannot write " + path);
    if (layout.framePositions.empty() && layout.omitted.empty()) return;
    // The image writer places the frames by the image's origin and spacing; these are the layout's own.
    if (!layout.framePositions.empty()) setFunctionalGroups(data, layout);
    for (const std::uint32_t tag : layout.omitted)
        data.Remove(gdcm::Tag(static_cast<std::uint16_t>(tag >> 16), static_cast<std::uint16_t>(tag & 0xFFFF)));
    gdcm::Writer again;
    again.SetFile(writer.GetFile());
    again.SetFileName(path.c_str());
    if (!again.Write()) throw std::runtime_error("cannot write " + path);
}

void writeEncapsulatedDicom(const std::string& path, const char* transferSyntax)
{
    gdcm::SmartPointer<gdcm::Image> image = new gdcm::Image;
    const unsigned int dims[2] = {256, 256};
    image->SetNumberOfDimensions(2);
    image->SetDimensions(dims);
    image->SetPixelFormat(gdcm::PixelFormat(gdcm::PixelFormat::UINT16));
    image->SetPhotometricInterpretation(gdcm::PhotometricInterpretation::MONOCHROME2);
    image->SetTransferSyntax(gdcm::TransferSyntax::GetTSType(transferSyntax));
    gdcm::SmartPointer<gdcm::SequenceOfFragments> fragments = new gdcm::SequenceOfFragments;
    gdcm::Fragment fragment;
    const std::vector<char> junk(1000, 7);
    fragment.SetByteValue(junk.data(), static_cast<std::uint32_t>(junk.size()));
    fragments->AddFragment(fragment);
    gdcm::DataElement pixels(gdcm::Tag(0x7FE0, 0x0010));
    pixels.SetVR(gdcm::VR::OB);
    pixels.SetValue(*fragments);
    image->SetDataElement(pixels);
    gdcm::ImageWriter writer;
    writer.SetImage(*image);
    writer.SetFileName(path.c_str());
    if (!writer.Write()) throw std::runtime_error("cannot write " + path);
}

void writeDicomWithoutImage(const std::string& path)
{
    gdcm::Writer writer;
    gdcm::DataSet& data = writer.GetFile().GetDataSet();
    gdcm::UIDGenerator uid;
    setText(data, 0x0004, 0x1130, "CS", "QUELBY");                // File-set ID
    setText(data, 0x0008, 0x0016, "UI", "1.2.840.10008.1.3.10");  // Media Storage Directory Storage
    setText(data, 0x0008, 0x0018, "UI", uid.Generate());
    gdcm::FileMetaInformation& meta = writer.GetFile().GetHeader();
    meta.SetDataSetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    meta.FillFromDataSet(data);
    writer.SetFileName(path.c_str());
    if (!writer.Write()) throw std::runtime_error("cannot write " + path);
}

}  // namespace quelby
