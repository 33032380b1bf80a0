#include "engine/io/NiftiSource.h"

#include "engine/core/InputError.h"
#include "engine/io/VoxelAxes.h"

#include <nifti1_io.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace quelby {

namespace {

bool endsWith(const std::string& path, std::string_view end)
{
    return path.size() >= end.size() &&
           std::equal(end.rbegin(), end.rend(), path.rbegin(), [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

bool compressed(const std::string& path) { return endsWith(path, ".gz"); }

// Deflate cannot make more than about 1,032 bytes of one.
constexpr std::uint64_t MaxInflation = 1032;

struct CloseZnz {
    void operator()(znzptr* file) const { Xznzclose(&file); }
};
using Stream = std::unique_ptr<znzptr, CloseZnz>;

Stream openStream(const std::string& path)
{
    Stream stream(znzopen(path.c_str(), "rb", compressed(path)));
    if (!stream) throw InputError(path + ": cannot be opened (" + std::strerror(errno) + ")");
    return stream;
}

bool readExactly(znzptr* stream, void* into, std::size_t bytes) { return znzread(into, 1, bytes, stream) == bytes; }

// What a NIfTI file's header says, checked against the file.
struct Layout {
    nifti_1_header header{};  // in this machine's byte order
    bool swapped = false;
    int columns = 0, rows = 0, slices = 0, repetitions = 0;
    int bytesPerSample = 0;
    std::uint64_t dataOffset = 0, imageBytes = 0;
    std::optional<VoxelAxes> axes;  // where the voxels lie, rows in the order they are read
    bool rowsReversed = false;      // rows are read from the file's last row
};

[[noreturn]] void refuse(const std::string& path, const std::string& why) { throw InputError(path + ": " + why); }

void readHeader(const std::string& path, Layout& layout)
{
    nifti_1_header& h = layout.header;
    if (!readExactly(openStream(path).get(), &h, sizeof h)) refuse(path, "too short for a NIfTI header");
    const auto size = static_cast<std::uint32_t>(h.sizeof_hdr);
    if (size == 540 || size == __builtin_bswap32(540)) refuse(path, "a NIfTI-2 file; only NIfTI-1 files are read");
    layout.swapped = size == __builtin_bswap32(348);
    if (layout.swapped) swap_nifti_header(&h, 1);
    if (h.sizeof_hdr != 348 || std::memcmp(h.magic, "n+1", 4) != 0) refuse(path, "not a NIfTI-1 file");
}

void readDimensions(const std::string& path, Layout& layout)
{
    const nifti_1_header& h = layout.header;
    int dimensions = h.dim[0];
    if (dimensions < 1 || dimensions > 7) refuse(path, "not a NIfTI-1 file");
    while (dimensions > 4 && h.dim[dimensions] == 1) --dimensions;
    if (dimensions != 4)
        refuse(path, std::to_string(dimensions) + "-D; a 4-D NIfTI file (x, y, slice, repetition) is needed");
    if (*std::min_element(h.dim + 1, h.dim + 5) < 1) refuse(path, "an image of no voxels");
    layout.columns = h.dim[1];
    layout.rows = h.dim[2];
    layout.slices = h.dim[3];
    layout.repetitions = h.dim[4];
    switch (h.datatype) {
    case DT_INT16:
    case DT_UINT16: layout.bytesPerSample = 2; break;
    case DT_INT8:
    case DT_UINT8: layout.bytesPerSample = 1; break;
    default:
        refuse(path, std::string(nifti_datatype_string(h.datatype)) +
                         " samples; only 8- and 16-bit integer samples are measured");
    }
}

// The samples must lie within the file before any memory is taken for them.
void checkSize(const std::string& path, Layout& layout)
{
    const float offset = layout.header.vox_offset;
    if (!(offset >= 352 && offset < 1e15f) || offset != std::floor(offset))
        refuse(path, "its sample offset is invalid");
    layout.dataOffset = static_cast<std::uint64_t>(offset);
    // NIfTI-1 dimensions are 16-bit, so these products cannot overflow.
    layout.imageBytes = static_cast<std::uint64_t>(layout.columns) * static_cast<std::uint64_t>(layout.rows) *
                        static_cast<std::uint64_t>(layout.bytesPerSample);
    const std::uint64_t end = layout.dataOffset + layout.imageBytes * static_cast<std::uint64_t>(layout.slices) *
                                                      static_cast<std::uint64_t>(layout.repetitions);
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(path, error);
    if (error) refuse(path, "cannot be read (" + error.message() + ")");
    if (end > (compressed(path) ? size * MaxInflation : size))
        refuse(path, "its header asks for " + std::to_string(end) + " bytes, more than the file holds");
}

// The sform where it is given, else the qform, in RAS.
std::optional<mat44> worldAffine(const nifti_1_header& h)
{
    if (h.sform_code > 0) {
        mat44 m{};
        for (int c = 0; c < 4; ++c) {
            m.m[0][c] = h.srow_x[c];
            m.m[1][c] = h.srow_y[c];
            m.m[2][c] = h.srow_z[c];
        }
        m.m[3][3] = 1;
        return m;
    }
    if (h.qform_code > 0)
        return nifti_quatern_to_mat44(h.quatern_b, h.quatern_c, h.quatern_d, h.qoffset_x, h.qoffset_y, h.qoffset_z,
                                      h.pixdim[1], h.pixdim[2], h.pixdim[3], h.pixdim[0] < 0 ? -1.0f : 1.0f);
    return std::nullopt;
}

void readPlacement(const std::string& path, Layout& layout)
{
    const std::optional<mat44> ras = worldAffine(layout.header);
    if (!ras) return;
    const auto column = [&](int c) {
        return swapLpsRas(Vector3{ras->m[0][c], ras->m[1][c], ras->m[2][c]});
    };
    VoxelAxes axes{column(0), column(1), column(2), column(3)};
    const double volume = dot(cross(axes.i, axes.j), axes.k);
    if (!std::isfinite(volume) || !std::isfinite(length(axes.origin)) || volume == 0)
        refuse(path, "its affine does not span three dimensions");
    // DICOM's rows, columns and slice normal in position order are right-handed;
    // converters write the rows bottom first, which makes the file's axes
    // left-handed. Taken right-handed, the slices lie in position order.
    layout.rowsReversed = !rightHanded(axes);
    layout.axes = layout.rowsReversed ? rowsReversed(axes, layout.rows) : axes;
}

Layout readLayout(const std::string& path)
{
    Layout layout;
    readHeader(path, layout);
    readDimensions(path, layout);
    checkSize(path, layout);
    readPlacement(path, layout);
    return layout;
}

std::optional<Rescale> rescaleOf(const nifti_1_header& h)
{
    if (!std::isfinite(h.scl_slope) || h.scl_slope == 0) return std::nullopt;
    return Rescale{h.scl_slope, std::isfinite(h.scl_inter) ? h.scl_inter : 0.0};
}

Stack stackOf(const Layout& layout)
{
    const nifti_1_header& h = layout.header;
    Stack stack;
    stack.keys.rows = layout.rows;
    stack.keys.columns = layout.columns;
    stack.keys.description.assign(h.descrip, strnlen(h.descrip, sizeof h.descrip));
    if (layout.axes)
        placeSlices(*layout.axes, layout.slices, stack);
    else {
        stack.slices.resize(static_cast<std::size_t>(layout.slices));
        if (h.pixdim[1] > 0 && h.pixdim[2] > 0) stack.geometry.pixelSpacing = std::pair{h.pixdim[2], h.pixdim[1]};
    }
    for (int z = 0; z < layout.slices; ++z)
        for (int t = 0; t < layout.repetitions; ++t)
            stack.slices[static_cast<std::size_t>(z)].repetitions.push_back(
                {0, static_cast<std::uint32_t>(t * layout.slices + z)});
    stack.rescale = rescaleOf(h);
    return stack;
}

// Sample `index` of a stored image as the 16-bit value the kernels take.
std::uint16_t widened(const unsigned char* stored, std::size_t index, const Layout& layout)
{
    switch (layout.header.datatype) {
    case DT_INT8: return static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<std::int8_t>(stored[index])));
    case DT_UINT8: return stored[index];
    default: {
        const unsigned char* s = stored + 2 * index;
        return static_cast<std::uint16_t>(layout.swapped ? (s[0] << 8) | s[1] : s[0] | (s[1] << 8));
    }
    }
}

}  // namespace

bool isNiftiPath(const std::string& path) { return endsWith(path, ".nii") || endsWith(path, ".nii.gz"); }

void openNiftiSource(SeriesSource& source)
{
    source.format = SeriesSource::Format::Nifti;
    source.files = {source.path};
    source.stacks = {stackOf(readLayout(source.path))};
}

// Reads a repetition's slices at once, so that they may be asked for in
// position order whichever way the file stores them, and streams forward from
// one repetition to the next.
struct NiftiImages::State {
    std::string path;
    Layout layout;
    Stream stream;
    std::uint64_t next = 0;              // the repetition the stream stands before
    std::optional<std::uint64_t> held;  // the repetition in `volume`
    std::vector<unsigned char> volume;

    const unsigned char* image(std::uint64_t frame)
    {
        const auto slices = static_cast<std::uint64_t>(layout.slices);
        if (held != frame / slices) readVolume(frame / slices);
        return volume.data() + (frame % slices) * layout.imageBytes;
    }

    void readVolume(std::uint64_t repetition)
    {
        held.reset();
        if (!stream || repetition != next) {
            if (!stream || repetition < next) stream = openStream(path);  // a gzip stream reads forward only
            const auto offset = static_cast<znz_off_t>(layout.dataOffset + repetition * volume.size());
            if (znzseek(stream.get(), offset, SEEK_SET) < 0) stream.reset();
        }
        if (!stream || !readExactly(stream.get(), volume.data(), volume.size())) {
            stream.reset();
            refuse(path, "ends before repetition " + std::to_string(repetition + 1));
        }
        next = repetition + 1;
        held = repetition;
    }
};

NiftiImages::NiftiImages(const SeriesSource& source) : state_(std::make_unique<State>())
{
    if (source.files.size() != 1) throw std::invalid_argument("a NIfTI source is one file");
    state_->path = source.files.front();
    state_->layout = readLayout(state_->path);
    state_->volume.resize(state_->layout.imageBytes * static_cast<std::size_t>(state_->layout.slices));
}

NiftiImages::~NiftiImages() = default;

SampleKind NiftiImages::read(const ImageRef& image, std::span<unsigned char> into)
{
    State& s = *state_;
    const Layout& layout = s.layout;
    const auto columns = static_cast<std::size_t>(layout.columns), rows = static_cast<std::size_t>(layout.rows);
    if (into.size() != 2 * columns * rows) throw std::invalid_argument("an image buffer of the wrong size");
    if (image.file != 0 || image.frame >= static_cast<std::uint64_t>(layout.slices) * layout.repetitions)
        refuse(s.path, "has no image " + std::to_string(image.frame));
    const unsigned char* stored = s.image(image.frame);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t from = (layout.rowsReversed ? rows - 1 - r : r) * columns;
        for (std::size_t c = 0; c < columns; ++c) {
            const std::uint16_t v = widened(stored, from + c, layout);
            into[2 * (r * columns + c)] = static_cast<unsigned char>(v & 0xFF);
            into[2 * (r * columns + c) + 1] = static_cast<unsigned char>(v >> 8);
        }
    }
    const bool isSigned = layout.header.datatype == DT_INT16 || layout.header.datatype == DT_INT8;
    return isSigned ? SampleKind::Int16 : SampleKind::Uint16;
}

}  // namespace quelby
