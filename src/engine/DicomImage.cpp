#include "DicomImage.h"

#include "DicomStructure.h"

#include <gdcmImageReader.h>
#include <gdcmJPEG2000Codec.h>
#include <gdcmJPEGCodec.h>
#include <gdcmJPEGLSCodec.h>
#include <gdcmRAWCodec.h>
#include <gdcmRLECodec.h>
#include <gdcmReader.h>
#include <gdcmTrace.h>

#include <algorithm>
#include <cstring>
#include <istream>
#include <streambuf>

namespace quelby {

namespace {

// A read-only, seekable stream over bytes already in memory, so the library
// parses the file without copying it first.
class MemoryBuffer : public std::streambuf {
public:
    explicit MemoryBuffer(std::span<const unsigned char> bytes)
    {
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
        setg(begin, begin, begin + bytes.size());
    }

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode) override
    {
        char* base = dir == std::ios_base::beg ? eback() : dir == std::ios_base::cur ? gptr() : egptr();
        if (offset < eback() - base || offset > egptr() - base) return pos_type(off_type(-1));
        setg(eback(), base + offset, egptr());
        return pos_type(gptr() - eback());
    }

    pos_type seekpos(pos_type position, std::ios_base::openmode mode) override
    {
        return seekoff(off_type(position), std::ios_base::beg, mode);
    }
};

// The library reports on standard error by default; our failures say it instead.
void silenceLibrary()
{
    static const bool silenced = [] {
        gdcm::Trace::SetDebug(false);
        gdcm::Trace::SetWarning(false);
        gdcm::Trace::SetError(false);
        return true;
    }();
    (void)silenced;
}

std::string transferSyntaxOf(const gdcm::File& file)
{
    const gdcm::TransferSyntax ts = file.GetHeader().GetDataSetTransferSyntax();
    const char* uid = gdcm::TransferSyntax::GetTSString(ts);
    if (uid != nullptr && ts != gdcm::TransferSyntax::TS_END) return uid;
    const gdcm::DataSet& meta = file.GetHeader();
    const gdcm::Tag tsTag(0x0002, 0x0010);
    if (!meta.FindDataElement(tsTag)) return {};
    const gdcm::ByteValue* value = meta.GetDataElement(tsTag).GetByteValue();
    if (value == nullptr) return {};
    std::string text(value->GetPointer(), value->GetLength());
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    return text;
}

const gdcm::Tag PixelDataTag(0x7FE0, 0x0010);

// Whether one of the library's codecs takes this transfer syntax, so that a
// decoding failure means a broken file rather than a missing codec.
bool canDecode(const gdcm::TransferSyntax& ts)
{
    return gdcm::RAWCodec().CanDecode(ts) || gdcm::RLECodec().CanDecode(ts) || gdcm::JPEGCodec().CanDecode(ts) ||
           gdcm::JPEGLSCodec().CanDecode(ts) || gdcm::JPEG2000Codec().CanDecode(ts);
}

// A native image whose attributes the walk found is read without the library:
// its pixel data is the stored samples in the data set's byte order, and the
// library's parse costs several times the reading of the file.
std::optional<DicomPixelFormat> nativeFormat(const DicomStructure& s)
{
    if (!s.native || !s.pixelData || !s.rows || !s.columns || !s.samplesPerPixel || !s.bitsAllocated ||
        !s.pixelRepresentation || s.photometric.empty())
        return std::nullopt;
    const bool bytesOnly = *s.bitsAllocated == 8 && !s.bigEndian;
    if (*s.bitsAllocated != 16 && !bytesOnly) return std::nullopt;
    DicomPixelFormat f;
    f.rows = *s.rows;
    f.columns = *s.columns;
    f.frames = s.frames.value_or(1);
    f.samplesPerPixel = *s.samplesPerPixel;
    f.bitsAllocated = *s.bitsAllocated;
    f.isSigned = *s.pixelRepresentation != 0;
    f.isMonochrome = s.photometric == "MONOCHROME1" || s.photometric == "MONOCHROME2";
    if (f.frames < 1) return std::nullopt;
    return f;
}

}  // namespace

bool hasDicomPrefix(std::span<const unsigned char> firstBytes)
{
    return firstBytes.size() >= DicomPrefixBytes && std::memcmp(firstBytes.data() + 128, "DICM", 4) == 0;
}

DicomError::DicomError(DicomProblem problem, const std::string& transferSyntax)
    : std::runtime_error("DICOM file without a usable image"), problem_(problem), transferSyntax_(transferSyntax)
{
}

struct DicomImage::Parsed {
    std::optional<gdcm::ImageReader> reader;  // for every file not read natively
    std::span<const unsigned char> nativePixels;
    bool bigEndian = false;
    std::string transferSyntax;
};

DicomImage::DicomImage(std::span<const unsigned char> file) : parsed_(std::make_unique<Parsed>())
{
    if (!hasDicomPrefix(file)) throw DicomError(DicomProblem::Corrupt, {});
    const std::optional<DicomStructure> structure = walkDicomStructure(file);
    if (!structure) throw DicomError(DicomProblem::Corrupt, {});
    parsed_->transferSyntax = structure->transferSyntax;
    if (const std::optional<DicomPixelFormat> native = nativeFormat(*structure)) {
        format_ = *native;
        parsed_->nativePixels = *structure->pixelData;
        parsed_->bigEndian = structure->bigEndian;
        return;
    }
    readWithLibrary(file);
}

void DicomImage::readWithLibrary(std::span<const unsigned char> file)
{
    silenceLibrary();
    MemoryBuffer buffer(file);
    std::istream in(&buffer);
    gdcm::ImageReader& reader = parsed_->reader.emplace();
    reader.SetStream(in);
    if (!reader.Read()) {
        // Tell an object that parses but holds no image from a broken file.
        MemoryBuffer again(file);
        std::istream retry(&again);
        gdcm::Reader plain;
        plain.SetStream(retry);
        const bool parses = plain.Read();
        const std::string ts = transferSyntaxOf(plain.GetFile());
        if (parses && !plain.GetFile().GetDataSet().FindDataElement(PixelDataTag))
            throw DicomError(DicomProblem::NoImage, ts);
        if (!ts.empty() && !canDecode(gdcm::TransferSyntax::GetTSType(ts.c_str())))
            throw DicomError(DicomProblem::Undecodable, ts);
        throw DicomError(DicomProblem::Corrupt, ts);
    }
    const gdcm::Image& image = reader.GetImage();
    const unsigned int* dims = image.GetDimensions();
    const gdcm::PixelFormat& pixel = image.GetPixelFormat();
    const gdcm::PhotometricInterpretation pi = image.GetPhotometricInterpretation();
    format_.columns = static_cast<int>(dims[0]);
    format_.rows = static_cast<int>(dims[1]);
    format_.frames = image.GetNumberOfDimensions() > 2 ? static_cast<int>(dims[2]) : 1;
    format_.samplesPerPixel = pixel.GetSamplesPerPixel();
    format_.bitsAllocated = pixel.GetBitsAllocated();
    format_.isSigned = pixel.GetPixelRepresentation() != 0;
    format_.isMonochrome =
        pi == gdcm::PhotometricInterpretation::MONOCHROME1 || pi == gdcm::PhotometricInterpretation::MONOCHROME2;
}

DicomImage::~DicomImage() = default;

std::size_t DicomImage::pixelBytes() const
{
    if (parsed_->reader) return parsed_->reader->GetImage().GetBufferLength();
    return static_cast<std::size_t>(format_.rows) * static_cast<std::size_t>(format_.columns) *
           static_cast<std::size_t>(format_.frames) * static_cast<std::size_t>(format_.samplesPerPixel) *
           static_cast<std::size_t>(format_.bitsAllocated / 8);
}

void DicomImage::decodePixels(std::span<unsigned char> out) const
{
    // A decoder that would give other than the attributes promise is a broken file.
    if (out.size() != pixelBytes()) throw DicomError(DicomProblem::Corrupt, parsed_->transferSyntax);
    if (!parsed_->reader) {
        // Pixel data must hold every byte the attributes promise.
        const std::span<const unsigned char> stored = parsed_->nativePixels;
        if (stored.size() < out.size()) throw DicomError(DicomProblem::Corrupt, parsed_->transferSyntax);
        if (!parsed_->bigEndian) {
            std::memcpy(out.data(), stored.data(), out.size());
        } else {
            for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
                out[i] = stored[i + 1];
                out[i + 1] = stored[i];
            }
        }
        return;
    }
    const gdcm::File& file = parsed_->reader->GetFile();
    const gdcm::TransferSyntax ts = file.GetHeader().GetDataSetTransferSyntax();
    if (!ts.IsEncapsulated()) {
        const gdcm::ByteValue* value = file.GetDataSet().GetDataElement(PixelDataTag).GetByteValue();
        if (value == nullptr || value->GetLength() < out.size())
            throw DicomError(DicomProblem::Corrupt, transferSyntaxOf(file));
    }
    if (!parsed_->reader->GetImage().GetBuffer(reinterpret_cast<char*>(out.data())))
        throw DicomError(canDecode(ts) ? DicomProblem::Corrupt : DicomProblem::Undecodable, transferSyntaxOf(file));
}

}  // namespace quelby
