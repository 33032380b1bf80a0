#include "engine/io/NiftiSource.h"

#include "engine/core/InputError.h"
#include "ObliqueStack.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <nifti1_io.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

namespace quelby {
namespace {

using test::ObliqueStack;
using Point = std::array<double, 3>;

// Voxel (i, j, k, t) of a file as the value it stores.
using Voxels = std::function<int(int i, int j, int k, int t)>;

// Rewrites a .nii file of 16-bit samples most significant byte first, as the library does not.
void swapToBigEndian(const std::string& path)
{
    std::vector<char> bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    nifti_1_header header;
    std::memcpy(&header, bytes.data(), sizeof header);
    swap_nifti_header(&header, 1);
    std::memcpy(bytes.data(), &header, sizeof header);
    for (std::size_t b = 352; b + 1 < bytes.size(); b += 2) std::swap(bytes[b], bytes[b + 1]);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void writeNifti(const std::string& path, std::array<int, 5> dims, int datatype, const mat44* sform, const Voxels& value,
                bool bigEndian = false)
{
    const int all[8] = {dims[0], dims[1], dims[2], dims[3], dims[4], 1, 1, 1};
    nifti_image* image = nifti_make_new_nim(all, datatype, 1);
    ASSERT_TRUE(image);
    const int nx = dims[1], ny = dims[2], nz = dims[3], nt = dims[0] > 3 ? dims[4] : 1;
    for (int t = 0, v = 0; t < nt; ++t)
        for (int k = 0; k < nz; ++k)
            for (int j = 0; j < ny; ++j)
                for (int i = 0; i < nx; ++i, ++v) {
                    const int x = value(i, j, k, t);
                    if (datatype == DT_INT16) static_cast<std::int16_t*>(image->data)[v] = static_cast<std::int16_t>(x);
                    if (datatype == DT_UINT8) static_cast<std::uint8_t*>(image->data)[v] = static_cast<std::uint8_t>(x);
                    if (datatype == DT_FLOAT32) static_cast<float*>(image->data)[v] = static_cast<float>(x);
                }
    if (sform) {
        image->sform_code = NIFTI_XFORM_SCANNER_ANAT;
        image->sto_xyz = *sform;
    }
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    nifti_set_filenames(image, path.c_str(), 0, 1);
    nifti_image_write(image);
    nifti_image_free(image);
    if (bigEndian) swapToBigEndian(path);
}

struct FileCase {
    const char* name;
    int datatype;
    const char* extension;
    bool rowsFlipped;  // bottom row first, as converters write them
    bool bigEndian = false;
};

class NiftiSourceTest : public testing::TestWithParam<FileCase> {
protected:
    ObliqueStack dicom;
    int repetitions = 3;
    test::TempFolder tmp;

    // The stored value of DICOM pixel (column, row) of the slice at position k.
    int value(int column, int row, int k, int t) const
    {
        const int v = column + 5 * row + 20 * k + 60 * t;
        return GetParam().datatype == DT_INT16 ? 150 * v - 13000 : v;
    }

    // The DICOM pixel a voxel of the file holds.
    std::array<int, 3> dicomVoxel(int i, int j, int k) const
    {
        return {i, GetParam().rowsFlipped ? dicom.rows - 1 - j : j, k};
    }

    mat44 sform() const
    {
        const auto ras = [&](int i, int j, int k) {
            const auto [c, r, s] = dicomVoxel(i, j, k);
            const Point p = dicom.patient(c, r, s);
            return Point{-p[0], -p[1], p[2]};
        };
        const Point o = ras(0, 0, 0), steps[3] = {ras(1, 0, 0), ras(0, 1, 0), ras(0, 0, 1)};
        mat44 m{};
        for (int d = 0; d < 3; ++d) {
            for (int a = 0; a < 3; ++a) m.m[d][a] = static_cast<float>(steps[a][d] - o[d]);
            m.m[d][3] = static_cast<float>(o[d]);
        }
        m.m[3][3] = 1;
        return m;
    }

    std::string write()
    {
        const std::string path = tmp.str() + "/series" + GetParam().extension;
        const mat44 m = sform();
        writeNifti(path, {4, dicom.columns, dicom.rows, dicom.slices, repetitions}, GetParam().datatype, &m,
                   [&](int i, int j, int k, int t) {
                       const auto [c, r, s] = dicomVoxel(i, j, k);
                       return value(c, r, s, t);
                   },
                   GetParam().bigEndian);
        return path;
    }
};

TEST_P(NiftiSourceTest, GivesTheImagesInOrderWithTheDicomGeometry)
{
    SeriesSource source;
    source.path = write();
    openNiftiSource(source);
    EXPECT_EQ(source.format, SeriesSource::Format::Nifti);
    EXPECT_EQ(source.files, std::vector{source.path});
    ASSERT_EQ(source.stacks.size(), 1u);
    const Stack& stack = source.stacks.front();
    EXPECT_EQ(stack.keys.rows, dicom.rows);
    EXPECT_EQ(stack.keys.columns, dicom.columns);
    ASSERT_EQ(stack.slices.size(), static_cast<std::size_t>(dicom.slices));
    ASSERT_EQ(stack.repetitions(), static_cast<std::size_t>(repetitions));
    const StackGeometry& g = stack.geometry;
    ASSERT_TRUE(g.pixelSpacing && g.orientation && g.sliceSpacing);
    EXPECT_NEAR(g.pixelSpacing->first, dicom.betweenRows, 1e-5);
    EXPECT_NEAR(g.pixelSpacing->second, dicom.betweenColumns, 1e-5);
    EXPECT_NEAR(*g.sliceSpacing, dicom.spacing, 1e-4);
    for (int d = 0; d < 3; ++d) {
        EXPECT_NEAR((*g.orientation)[d], dicom.row[d], 1e-5);
        EXPECT_NEAR((*g.orientation)[3 + d], dicom.column[d], 1e-5);
    }
    for (int k = 0; k < dicom.slices; ++k) {
        const StackSlice& slice = stack.slices[static_cast<std::size_t>(k)];
        EXPECT_NEAR(slice.positionMm, dicom.position(k), 1e-3) << k;
        ASSERT_TRUE(slice.origin);
        for (int d = 0; d < 3; ++d) EXPECT_NEAR((*slice.origin)[d], dicom.patient(0, 0, k)[d], 1e-3) << k;
    }

    NiftiImages images(source);
    std::vector<unsigned char> into(2 * static_cast<std::size_t>(dicom.rows * dicom.columns));
    const SampleKind kind = GetParam().datatype == DT_INT16 ? SampleKind::Int16 : SampleKind::Uint16;
    for (int pass = 0; pass < 2; ++pass)  // the second reads the file again from its start
        for (int t = 0; t < repetitions; ++t)
            for (int k = 0; k < dicom.slices; ++k) {
                const StackSlice& slice = stack.slices[static_cast<std::size_t>(k)];
                EXPECT_EQ(images.read(slice.repetitions[static_cast<std::size_t>(t)], into), kind);
                for (int r = 0; r < dicom.rows; ++r)
                    for (int c = 0; c < dicom.columns; ++c)
                        ASSERT_EQ(sampleValue(into.data(), static_cast<std::size_t>(r * dicom.columns + c), kind),
                                  value(c, r, k, t))
                            << "pass " << pass << ", repetition " << t << ", slice " << k << ", row " << r;
            }
}

INSTANTIATE_TEST_SUITE_P(Layouts, NiftiSourceTest,
                         testing::Values(FileCase{"int16", DT_INT16, ".nii", false},
                                         FileCase{"uint8gz", DT_UINT8, ".nii.gz", false},
                                         FileCase{"convertersRows", DT_INT16, ".nii.gz", true},
                                         FileCase{"bigEndian", DT_INT16, ".nii", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Opens the file and reads every image; the first refusal's message.
std::string refusal(const std::string& path)
{
    try {
        SeriesSource source;
        source.path = path;
        openNiftiSource(source);
        NiftiImages images(source);
        const Stack& stack = source.stacks.front();
        std::vector<unsigned char> into(2 * static_cast<std::size_t>(stack.keys.rows * stack.keys.columns));
        for (const StackSlice& slice : stack.slices)
            for (const ImageRef& image : slice.repetitions) images.read(image, into);
    } catch (const InputError& e) {
        return e.what();
    }
    return "";
}

TEST(NiftiSourceRefusal, NamesTheFileAndWhy)
{
    const test::TempFolder tmp;
    const auto ramp = [](int i, int j, int k, int t) { return i + j + k + t; };
    const auto truncated = [&](const std::string& path, const std::string& copy) {
        writeNifti(path, {4, 16, 16, 4, 8}, DT_INT16, nullptr, ramp);
        std::filesystem::resize_file(path, 352 + 16 * 16 * 2 * 4 * 5);
        if (copy.empty()) return;
        // The same short content compressed.
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        znzFile out = znzopen(copy.c_str(), "wb", 1);
        znzwrite(bytes.data(), 1, bytes.size(), out);
        znzclose(out);
    };
    const struct {
        const char* name;
        std::function<void(const std::string&)> write;
        const char* why;
    } cases[] = {
        {"3d.nii", [&](const std::string& p) { writeNifti(p, {3, 8, 8, 4, 1}, DT_INT16, nullptr, ramp); },
         "3-D; a 4-D NIfTI file (x, y, slice, repetition) is needed"},
        {"float.nii.gz", [&](const std::string& p) { writeNifti(p, {4, 8, 8, 2, 3}, DT_FLOAT32, nullptr, ramp); },
         "FLOAT32 samples"},
        {"short.nii", [&](const std::string& p) { truncated(p, ""); }, "more than the file holds"},
        {"short.nii.gz", [&](const std::string& p) { truncated(tmp.str() + "/plain.nii", p); },
         "ends before repetition 6"},
        {"notnifti.nii", [](const std::string& p) { std::ofstream(p) << std::string(400, 'x'); }, "not a NIfTI-1 file"},
    };
    for (const auto& c : cases) {
        const std::string path = tmp.str() + "/" + c.name;
        c.write(path);
        const std::string message = refusal(path);
        EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << message;
        EXPECT_NE(message.find(c.why), std::string::npos) << message;
    }
}

}  // namespace
}  // namespace quelby
