#include "export/NiftiMap.h"

#include "ObliqueStack.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <nifti1_io.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <numeric>

namespace quelby {
namespace {

using Point = std::array<double, 3>;

struct MapCase {
    const char* name;
    Stack stack;
    short code;        // of the qform and the sform
    float sliceStep;   // pixdim[3]
    std::function<Point(int i, int j, int k)> patient;  // LPS, as DICOM places the voxel
};

// What NIfTI readers take from the header: the sform, and the qform from its quaternion.
std::array<mat44, 2> affines(const nifti_1_header& h)
{
    mat44 s{};
    for (int c = 0; c < 4; ++c) {
        s.m[0][c] = h.srow_x[c];
        s.m[1][c] = h.srow_y[c];
        s.m[2][c] = h.srow_z[c];
    }
    s.m[3][3] = 1;
    return {s, nifti_quatern_to_mat44(h.quatern_b, h.quatern_c, h.quatern_d, h.qoffset_x, h.qoffset_y, h.qoffset_z,
                                      h.pixdim[1], h.pixdim[2], h.pixdim[3], h.pixdim[0])};
}

TEST(NiftiMapTest, VoxelsLieWhereTheDicomGeometryPutsThem)
{
    const test::ObliqueStack oblique;
    Stack single = oblique.stack();
    single.slices.resize(1);
    single.geometry.sliceSpacing.reset();
    Stack raw;
    raw.keys = single.keys;
    raw.slices.resize(2);
    raw.geometry.pixelSpacing = std::pair{0.8, 0.9};
    const MapCase cases[] = {
        {"oblique slices", oblique.stack(), NIFTI_XFORM_SCANNER_ANAT, 4.5f,
         [&](int i, int j, int k) { return oblique.patient(i, j, k); }},
        {"one slice, its thickness", single, NIFTI_XFORM_SCANNER_ANAT, 3.0f,
         [&](int i, int j, int) { return oblique.patient(i, j, 0); }},
        {"raw, no place", raw, NIFTI_XFORM_UNKNOWN, 1.0f,
         [](int i, int j, int k) { return Point{0.9 * i, 0.8 * j, 1.0 * k}; }},
    };
    const test::TempFolder tmp;
    for (const MapCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int rows = c.stack.keys.rows, columns = c.stack.keys.columns;
        const int slices = static_cast<int>(c.stack.slices.size());
        std::vector<double> values(static_cast<std::size_t>(rows * columns * slices));
        std::iota(values.begin(), values.end(), -7.25);
        const std::vector<char> bytes = niftiMapBytes(values, c.stack, "snr");
        const std::string path = tmp.str() + "/map.nii.gz";
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

        int swapped = 0;
        const std::unique_ptr<nifti_1_header, void (*)(void*)> header(nifti_read_header(path.c_str(), &swapped, 1),
                                                                      std::free);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->dim[0], 3);
        EXPECT_EQ(header->dim[1], columns);
        EXPECT_EQ(header->dim[2], rows);
        EXPECT_EQ(header->dim[3], slices);
        EXPECT_EQ(header->dim[4], 1);
        EXPECT_EQ(header->qform_code, c.code);
        EXPECT_EQ(header->sform_code, c.code);
        EXPECT_FLOAT_EQ(header->pixdim[1], 0.9f);
        EXPECT_FLOAT_EQ(header->pixdim[2], 0.8f);
        EXPECT_NEAR(header->pixdim[3], c.sliceStep, 1e-5);
        EXPECT_EQ(std::abs(header->pixdim[0]), 1.0f);
        for (const mat44& m : affines(*header))
            for (int k = 0; k < slices; ++k)
                for (const auto& [i, j] : {std::pair{0, 0}, {columns - 1, 0}, {0, rows - 1}, {columns - 1, rows - 1}}) {
                    const Point p = c.patient(i, j, k);
                    const Point ras{-p[0], -p[1], p[2]};
                    for (int d = 0; d < 3; ++d)
                        EXPECT_NEAR(m.m[d][0] * i + m.m[d][1] * j + m.m[d][2] * k + m.m[d][3], ras[d], 2e-3)
                            << "voxel " << i << "," << j << "," << k << " axis " << d;
                }

        const std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(nifti_image_read(path.c_str(), 1),
                                                                          nifti_image_free);
        ASSERT_TRUE(image);
        ASSERT_EQ(image->datatype, DT_FLOAT32);
        const auto* data = static_cast<const float*>(image->data);
        for (std::size_t v = 0; v < values.size(); ++v) ASSERT_EQ(data[v], static_cast<float>(values[v])) << v;
    }
}

TEST(NiftiMapTest, ValuesThatDoNotFillTheStackAreRefused)
{
    const Stack stack = test::ObliqueStack{}.stack();
    EXPECT_THROW(niftiMapBytes(std::vector<double>(4 * 5 * 2), stack, "snr"), std::invalid_argument);
}

}  // namespace
}  // namespace quelby
