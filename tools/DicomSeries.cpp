#include "DicomSeries.h"

#include <gdcmFragment.h>
#include <gdcmImageChangeTransferSyntax.h>
#include <gdcmImageWriter.h>
#include <gdcmUIDGenerator.h>
#include <gdcmSequenceOfFragments.h>
#include <gdcmTrace.h>
#include <gdcmWriter.h>

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
    setText(data, 0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.4");  // MR Image Storage
    setText(data, 0x0008, 0x0060, "CS", "MR");
    if (layout.trailingPadding > 0) {
        gdcm::DataElement padding(gdcm::Tag(0xFFFC, 0xFFFC));
        padding.SetVR(gdcm::VR::OB);
        const std::vector<char> zeros(static_cast<std::size_t>(layout.trailingPadding), 0);
        padding.SetByteValue(zeros.data(), static_cast<std::uint32_t>(zeros.size()));
        data.Replace(padding);
    }
    writer.SetFileName(path.c_str());
    if (!writer.Write()) throw std::runtime_error("cannot write " + path);
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
