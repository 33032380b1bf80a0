// Writes the seed corpus of the fuzz targets: one small DICOM file of each
// layout DicomSeries writes, and small 4-D NIfTI files, the samples drawn from
// a seeded generator so that a seed always gives the same corpus.

#include "DicomSeries.h"
#include "GaussianNoise.h"

#include <gdcmReader.h>
#include <gdcmWriter.h>
#include <nifti1_io.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

using quelby::DicomLayout;

// Small and not square, so that a swap of rows and columns reads differently.
DicomLayout small(const char* transferSyntax, int bitsAllocated = 16, bool isSigned = true)
{
    DicomLayout layout;
    layout.rows = 12;
    layout.columns = 16;
    layout.bitsAllocated = bitsAllocated;
    layout.isSigned = isSigned;
    layout.transferSyntax = transferSyntax;
    return layout;
}

// Frame positions without the orientation GDCM asks beside them make it
// abort, so only a native file, read without GDCM, carries them.
DicomLayout enhanced(const char* transferSyntax, int frames, bool placed)
{
    DicomLayout layout = small(transferSyntax);
    layout.enhanced = true;
    layout.frames = frames;
    layout.pixelSpacing = "0.9\\0.8";
    layout.reductionInPlane = 2;
    layout.rescaleSlope = 1.5;
    for (int k = 0; k < frames; ++k) {
        layout.temporalPositions.push_back(static_cast<std::uint32_t>(frames - k));
        layout.stackPositions.push_back(1);
        if (placed) layout.framePositions.push_back("-10\\-20\\" + std::to_string(5 * k));
        layout.frameIntercepts.push_back(-k);
    }
    return layout;
}

// A classic image carrying every attribute that groups and orders a series.
DicomLayout described()
{
    DicomLayout layout = small(quelby::ts::ExplicitLittle);
    layout.seriesDescription = "fuzz seed";
    layout.protocolName = "se_16x12";
    layout.pixelSpacing = "0.9\\0.8";
    layout.imagePosition = "-10\\-20\\+2.5";
    layout.rescaleSlope = 1;
    layout.rescaleIntercept = -1024;
    layout.trailingPadding = 6;
    layout.attributes[0x0008'0008] = "ORIGINAL\\PRIMARY\\M\\ND";
    layout.attributes[0x0008'0032] = "101010.250";
    layout.attributes[0x0018'0081] = "+12.5";
    layout.attributes[0x0018'0086] = "+2";
    layout.attributes[0x0020'0013] = "+4";
    layout.attributes[0x0020'0037] = "1\\0\\0\\0\\1\\0";
    layout.attributes[0x0051'100F] = "HC1";
    return layout;
}

struct DicomSeed {
    const char* name;
    DicomLayout layout;
};

std::vector<DicomSeed> dicomSeeds()
{
    namespace ts = quelby::ts;
    return {
        {"explicit-little.dcm", small(ts::ExplicitLittle)},
        {"explicit-little-unsigned.dcm", small(ts::ExplicitLittle, 16, false)},
        {"implicit-little.dcm", small(ts::ImplicitLittle)},
        {"explicit-big.dcm", small(ts::ExplicitBig)},
        {"deflated.dcm", small(ts::Deflated)},
        {"rle.dcm", small(ts::Rle)},
        {"jpeg-lossless.dcm", small(ts::JpegLossless)},
        {"jpeg-ls.dcm", small(ts::JpegLsLossless)},
        {"jpeg-2000.dcm", small(ts::Jpeg2000Lossless)},
        {"eight-bit-unsigned.dcm", small(ts::ExplicitLittle, 8, false)},
        {"eight-bit-signed-implicit.dcm", small(ts::ImplicitLittle, 8, true)},
        {"enhanced.dcm", enhanced(ts::ExplicitLittle, 3, true)},
        {"enhanced-rle.dcm", enhanced(ts::Rle, 2, false)},
        {"described.dcm", described()},
    };
}

// Samples about a level within the range of the layout's samples.
std::vector<std::int32_t> samplesFor(const DicomLayout& layout, quelby::GaussianNoise& noise)
{
    const bool eight = layout.bitsAllocated == 8;
    const double lowest = layout.isSigned ? (eight ? -128 : -32768) : 0;
    const double highest = layout.isSigned ? (eight ? 127 : 32767) : (eight ? 255 : 65535);
    const double level = eight ? (layout.isSigned ? 0 : 100) : 1000, spread = eight ? 20 : 100;
    std::vector<std::int32_t> samples(static_cast<std::size_t>(layout.frames * layout.rows * layout.columns));
    for (std::int32_t& s : samples)
        s = static_cast<std::int32_t>(std::clamp(std::round(level + spread * noise.next()), lowest, highest));
    return samples;
}

// The library draws new identities and stamps the time in every file it
// writes; fixed ones make the corpus the same from run to run.
void fixIdentities(const std::string& path)
{
    gdcm::Reader reader;
    reader.SetFileName(path.c_str());
    if (!reader.Read()) throw std::runtime_error("cannot read back " + path);
    const auto set = [](gdcm::DataSet& data, std::uint16_t group, std::uint16_t element, std::string value) {
        gdcm::DataElement de(gdcm::Tag(group, element));
        if (!data.FindDataElement(de.GetTag())) return;
        de = data.GetDataElement(de.GetTag());
        if (value.size() % 2 != 0) value.push_back('\0');
        de.SetByteValue(value.data(), static_cast<std::uint32_t>(value.size()));
        data.Replace(de);
    };
    gdcm::DataSet& data = reader.GetFile().GetDataSet();
    const std::string instance = "1.2.826.0.1.3680043.10.19.1";
    set(data, 0x0008, 0x0012, "20240119");
    set(data, 0x0008, 0x0013, "120000");
    set(data, 0x0008, 0x0020, "20240119");
    set(data, 0x0008, 0x0030, "120000");
    set(data, 0x0008, 0x0018, instance);
    set(data, 0x0020, 0x000D, "1.2.826.0.1.3680043.10.19.2");
    set(data, 0x0020, 0x000E, "1.2.826.0.1.3680043.10.19.3");
    set(data, 0x0020, 0x0052, "1.2.826.0.1.3680043.10.19.4");
    set(reader.GetFile().GetHeader(), 0x0002, 0x0003, instance);
    gdcm::Writer writer;
    writer.SetFile(reader.GetFile());
    writer.SetFileName(path.c_str());
    if (!writer.Write()) throw std::runtime_error("cannot write " + path);
}

// A 4-D file (x, y, slice, repetition) of 8 × 6 × 2 × 3 samples.
void writeNiftiSeed(const std::string& path, int datatype, bool placed, quelby::GaussianNoise& noise)
{
    const int dims[8] = {4, 8, 6, 2, 3, 1, 1, 1};
    nifti_image* image = nifti_make_new_nim(dims, datatype, 1);
    if (image == nullptr) throw std::runtime_error("cannot make " + path);
    const bool wide = datatype == DT_INT16 || datatype == DT_UINT16;
    for (std::size_t k = 0; k < image->nvox; ++k) {
        const auto v = static_cast<std::int32_t>(std::clamp(std::round(100 + 20 * noise.next()), 0.0, 255.0));
        if (wide)
            static_cast<std::int16_t*>(image->data)[k] = static_cast<std::int16_t>(v * 10);
        else
            static_cast<std::uint8_t*>(image->data)[k] = static_cast<std::uint8_t>(v);
    }
    if (placed) {
        image->sform_code = NIFTI_XFORM_SCANNER_ANAT;
        image->sto_xyz = nifti_make_orthog_mat44(-0.9f, 0, 0, 0, 0.8f, 0, 0, 0, 5);
        image->sto_xyz.m[0][3] = 10;
        image->scl_slope = 2;
        image->scl_inter = -3;
    }
    if (nifti_set_filenames(image, path.c_str(), 0, 1) != 0) throw std::runtime_error("cannot name " + path);
    nifti_image_write(image);
    nifti_image_free(image);
}

void writeSeeds(const std::filesystem::path& folder, std::uint64_t seed)
{
    quelby::GaussianNoise noise(seed);
    std::filesystem::create_directories(folder / "dicom");
    std::filesystem::create_directories(folder / "nifti");
    const std::filesystem::path dicom = folder / "dicom";
    for (const DicomSeed& s : dicomSeeds()) quelby::writeDicomImage(dicom / s.name, s.layout, samplesFor(s.layout, noise));
    quelby::writeEncapsulatedDicom(dicom / "mpeg2.dcm", "1.2.840.10008.1.2.4.100");
    quelby::writeDicomWithoutImage(dicom / "dicomdir.dcm");
    for (const auto& entry : std::filesystem::directory_iterator(dicom)) fixIdentities(entry.path());
    writeNiftiSeed(folder / "nifti" / "int16.nii", DT_INT16, false, noise);
    writeNiftiSeed(folder / "nifti" / "uint8-placed.nii", DT_UINT8, true, noise);
    writeNiftiSeed(folder / "nifti" / "int16-placed.nii.gz", DT_INT16, true, noise);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string program = argc > 0 ? argv[0] : "quelby-fuzz-seeds";
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        std::cerr << "usage: " << program << " FOLDER [SEED]\n"
                  << "Writes FOLDER/dicom and FOLDER/nifti, the seed corpora of the fuzz targets.\n";
        return 2;
    }
    try {
        writeSeeds(argv[1], argc == 3 ? std::stoull(argv[2]) : 19);
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
