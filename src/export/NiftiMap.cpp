#include "export/NiftiMap.h"

#include "engine/io/VoxelAxes.h"

#include <nifti1_io.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace quelby {

namespace {

std::vector<char> gzipped(const std::vector<char>& raw)
{
    z_stream z{};
    // 15 window bits plus 16: a gzip wrapper, as .nii.gz readers expect. Noisy
    // float maps shrink little more at higher levels, which cost several times as long.
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_HUFFMAN_ONLY) != Z_OK)
        throw std::runtime_error("zlib cannot start");
    std::vector<char> out(deflateBound(&z, static_cast<uLong>(raw.size())));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (status != Z_STREAM_END) throw std::runtime_error("zlib cannot compress");
    return out;
}

// The stack's voxel axes in NIfTI's RAS coordinates.
mat44 rasAffine(const Stack& stack)
{
    const VoxelAxes axes = voxelAxes(stack);
    const Vector3 columns[4] = {swapLpsRas(axes.i), swapLpsRas(axes.j), swapLpsRas(axes.k), swapLpsRas(axes.origin)};
    mat44 m{};
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 3; ++r) m.m[r][c] = static_cast<float>(columns[c][static_cast<std::size_t>(r)]);
    m.m[3][3] = 1;
    return m;
}

// Writes the affine as both the sform and the qform; the qform's scales are the pixdims.
void place(nifti_1_header& header, const mat44& ras, bool known)
{
    float qfac = 1;
    nifti_mat44_to_quatern(ras, &header.quatern_b, &header.quatern_c, &header.quatern_d, &header.qoffset_x,
                           &header.qoffset_y, &header.qoffset_z, &header.pixdim[1], &header.pixdim[2],
                           &header.pixdim[3], &qfac);
    header.pixdim[0] = qfac;
    for (int c = 0; c < 4; ++c) {
        header.srow_x[c] = ras.m[0][c];
        header.srow_y[c] = ras.m[1][c];
        header.srow_z[c] = ras.m[2][c];
    }
    // Without a geometry the affine only carries the spacing: no place is claimed.
    header.qform_code = header.sform_code = static_cast<short>(known ? NIFTI_XFORM_SCANNER_ANAT : NIFTI_XFORM_UNKNOWN);
}

bool placed(const Stack& stack)
{
    return stack.geometry.orientation && !stack.slices.empty() && stack.slices.front().origin;
}

}  // namespace

std::vector<char> niftiMapBytes(std::span<const double> values, const Stack& stack, const std::string& description)
{
    const int slices = static_cast<int>(stack.slices.size());
    const int dims[8] = {3, stack.keys.columns, stack.keys.rows, slices, 1, 1, 1, 1};
    if (values.empty() ||
        values.size() != static_cast<std::size_t>(stack.keys.columns) * stack.keys.rows * stack.slices.size())
        throw std::invalid_argument("a map's values do not fill its stack");
    const std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(nifti_make_new_nim(dims, DT_FLOAT32, 0),
                                                                      nifti_image_free);
    if (!image) throw std::runtime_error("cannot make a NIfTI image");
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    image->iname_offset = 352;  // the header and four bytes of no extension
    image->xyz_units = NIFTI_UNITS_MM;
    std::strncpy(image->descrip, description.c_str(), sizeof image->descrip - 1);
    nifti_1_header header = nifti_convert_nim2nhdr(image.get());
    place(header, rasAffine(stack), placed(stack));
    std::fill(header.dim + 4, header.dim + 8, 1);  // as readers expect of the unused dimensions

    std::vector<char> raw(sizeof header + 4 + values.size() * sizeof(float), 0);
    std::memcpy(raw.data(), &header, sizeof header);  // then 4 bytes of no extension
    char* data = raw.data() + sizeof header + 4;
    for (const double v : values) {
        const auto f = static_cast<float>(v);
        std::memcpy(data, &f, sizeof f);
        data += sizeof f;
    }
    return gzipped(raw);
}

}  // namespace quelby
