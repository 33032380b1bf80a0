#include "qa/NiftiMap.h"

#include <nifti1_io.h>
#include <zlib.h>

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

}  // namespace

std::vector<char> niftiMapBytes(const std::vector<double>& values, int width, int height,
                                const std::optional<std::pair<double, double>>& spacing, const std::string& description)
{
    const int dims[8] = {2, width, height, 1, 1, 1, 1, 1};
    const std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(nifti_make_new_nim(dims, DT_FLOAT32, 0),
                                                                      nifti_image_free);
    if (!image) throw std::runtime_error("cannot make a NIfTI image");
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    image->dx = image->pixdim[1] = spacing ? static_cast<float>(spacing->second) : 1.0f;
    image->dy = image->pixdim[2] = spacing ? static_cast<float>(spacing->first) : 1.0f;
    image->iname_offset = 352;  // the header and four bytes of no extension
    image->xyz_units = NIFTI_UNITS_MM;
    std::strncpy(image->descrip, description.c_str(), sizeof image->descrip - 1);
    const nifti_1_header header = nifti_convert_nim2nhdr(image.get());

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
