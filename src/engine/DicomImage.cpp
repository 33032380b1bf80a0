#include "DicomImage.h"

#include <gdcmImageReader.h>
#include <gdcmJPEG2000Codec.h>
#include <gdcmJPEGCodec.h>
#include <gdcmJPEGLSCodec.h>
#include <gdcmRAWCodec.h>
#include <gdcmRLECodec.h>
#include <gdcmReader.h>
#include <gdcmTrace.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>
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

// A walk over the elements of a Part 10 file that checks every one lies within
// the file. The library asserts, and so aborts the process, when a file ends
// inside its header, and reads a file cut inside its pixel data as complete;
// it only ever sees files that pass this walk.
class StructureWalk {
public:
    explicit StructureWalk(std::span<const unsigned char> file) : bytes_(file) {}

    bool fits()
    {
        std::size_t at = DicomPrefixBytes;
        std::string ts;
        // The file meta information: explicit VR little endian, group 0002.
        while (at + 4 <= bytes_.size() && u16(at, false) == 0x0002) {
            Element e;
            if (!header(at, Encoding::ExplicitLittle, e) || e.undefined || !within(e.value, e.length)) return false;
            if (u16(at + 2, false) == 0x0010)
                ts.assign(reinterpret_cast<const char*>(bytes_.data() + e.value), e.length);
            at = e.value + e.length;
        }
        while (!ts.empty() && (ts.back() == '\0' || ts.back() == ' ')) ts.pop_back();
        // The library's reading of the meta information cannot meet the end of the file.
        if (ts.empty() || !within(at, 4)) return false;
        std::size_t end = 0;
        if (ts == "1.2.840.10008.1.2.1.99") {
            std::vector<unsigned char> inflated;
            if (!inflateRest(at, inflated)) return false;
            StructureWalk walk(inflated);
            return walk.dataSet(0, inflated.size(), Encoding::ExplicitLittle, 0, false, end);
        }
        const Encoding encoding = ts == "1.2.840.10008.1.2"     ? Encoding::ImplicitLittle
                                  : ts == "1.2.840.10008.1.2.2" ? Encoding::ExplicitBig
                                                                : Encoding::ExplicitLittle;
        return dataSet(at, bytes_.size(), encoding, 0, false, end);
    }

private:
    enum class Encoding { ImplicitLittle, ExplicitLittle, ExplicitBig };
    static constexpr std::uint32_t Undefined = 0xFFFFFFFF;
    static constexpr int DeepestNesting = 64;

    struct Element {
        std::uint16_t group = 0, element = 0;
        bool sequence = false;   // SQ, or of unknown VR with an undefined length
        bool undefined = false;  // undefined length
        std::size_t value = 0;
        std::size_t length = 0;
    };

    // The raw deflate stream from `at` to the end of the file, whole.
    bool inflateRest(std::size_t at, std::vector<unsigned char>& out) const
    {
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
        z.next_in = const_cast<unsigned char*>(bytes_.data() + at);
        z.avail_in = static_cast<uInt>(bytes_.size() - at);
        int status = Z_OK;
        while (status == Z_OK) {
            const std::size_t done = out.size();
            out.resize(done + 65536);
            z.next_out = out.data() + done;
            z.avail_out = 65536;
            status = inflate(&z, Z_NO_FLUSH);
            out.resize(done + 65536 - z.avail_out);
        }
        inflateEnd(&z);
        return status == Z_STREAM_END;
    }

    bool within(std::size_t at, std::size_t count) const { return at <= bytes_.size() && count <= bytes_.size() - at; }

    std::uint16_t u16(std::size_t at, bool big) const
    {
        const unsigned a = bytes_[at], b = bytes_[at + 1];
        return static_cast<std::uint16_t>(big ? (a << 8 | b) : (b << 8 | a));
    }

    std::uint32_t u32(std::size_t at, bool big) const
    {
        const std::uint32_t lo = u16(at, big), hi = u16(at + 2, big);
        return big ? (lo << 16 | hi) : (hi << 16 | lo);
    }

    bool header(std::size_t at, Encoding encoding, Element& e) const
    {
        const bool big = encoding == Encoding::ExplicitBig;
        if (!within(at, 8)) return false;
        e.group = u16(at, big);
        e.element = u16(at + 2, big);
        std::uint32_t length = 0;
        if (e.group == 0xFFFE || encoding == Encoding::ImplicitLittle) {
            length = u32(at + 4, big);
            e.value = at + 8;
            e.sequence = length == Undefined;
        } else {
            const char vr[2] = {static_cast<char>(bytes_[at + 4]), static_cast<char>(bytes_[at + 5])};
            static constexpr const char* longForms[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                                        "SV", "UC", "UN", "UR", "UT", "UV"};
            const bool longForm = std::any_of(std::begin(longForms), std::end(longForms),
                                              [&](const char* f) { return vr[0] == f[0] && vr[1] == f[1]; });
            if (longForm) {
                if (!within(at, 12)) return false;
                length = u32(at + 8, big);
                e.value = at + 12;
            } else {
                length = u16(at + 6, big);
                e.value = at + 8;
            }
            e.sequence = vr[0] == 'S' && vr[1] == 'Q';
        }
        e.undefined = length == Undefined;
        e.length = e.undefined ? 0 : length;
        return true;
    }

    // Elements from `at` up to `end`, or, when `inItem`, up to an item
    // delimiter; `after` is the byte past the last one.
    bool dataSet(std::size_t at, std::size_t end, Encoding encoding, int depth, bool inItem, std::size_t& after)
    {
        if (depth > DeepestNesting) return false;
        while (at < end) {
            Element e;
            if (!header(at, encoding, e)) return false;
            if (e.group == 0xFFFE && e.element == 0xE00D) {
                after = e.value;
                return inItem;
            }
            if (!skip(e, end, encoding, depth, at)) return false;
        }
        after = at;
        return !inItem && at == end;
    }

    // Past one element; an undefined length holds items up to the sequence
    // delimiter: a sequence, encapsulated pixel data, or UN holding an
    // implicit little endian sequence.
    bool skip(const Element& e, std::size_t end, Encoding encoding, int depth, std::size_t& next)
    {
        const bool pixelData = e.group == 0x7FE0 && e.element == 0x0010;
        if (!e.undefined) {
            if (!within(e.value, e.length) || e.value + e.length > end) return false;
            next = e.value + e.length;
            return !e.sequence || items(e.value, next, encoding, depth + 1);
        }
        const Encoding inner = e.sequence || pixelData ? encoding : Encoding::ImplicitLittle;
        std::size_t at = e.value;
        for (;;) {
            Element item;
            if (!header(at, inner, item) || item.group != 0xFFFE) return false;
            if (item.element == 0xE0DD) {
                next = item.value;
                return next <= end;
            }
            if (item.element != 0xE000 || !oneItem(item, end, inner, depth + 1, pixelData, at)) return false;
        }
    }

    // The items of a sequence of defined length.
    bool items(std::size_t at, std::size_t end, Encoding encoding, int depth)
    {
        while (at < end) {
            Element item;
            if (!header(at, encoding, item) || item.group != 0xFFFE || item.element != 0xE000) return false;
            if (!oneItem(item, end, encoding, depth, false, at)) return false;
        }
        return at == end;
    }

    bool oneItem(const Element& item, std::size_t end, Encoding encoding, int depth, bool fragment,
                 std::size_t& after)
    {
        if (depth > DeepestNesting) return false;
        if (item.undefined) return !fragment && dataSet(item.value, end, encoding, depth + 1, true, after);
        if (!within(item.value, item.length) || item.value + item.length > end) return false;
        after = item.value + item.length;
        std::size_t ignored = 0;
        return fragment || dataSet(item.value, after, encoding, depth + 1, false, ignored);
    }

    std::span<const unsigned char> bytes_;
};

// Whether one of the library's codecs takes this transfer syntax, so that a
// decoding failure means a broken file rather than a missing codec.
bool canDecode(const gdcm::TransferSyntax& ts)
{
    return gdcm::RAWCodec().CanDecode(ts) || gdcm::RLECodec().CanDecode(ts) || gdcm::JPEGCodec().CanDecode(ts) ||
           gdcm::JPEGLSCodec().CanDecode(ts) || gdcm::JPEG2000Codec().CanDecode(ts);
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
    gdcm::ImageReader reader;
};

DicomImage::DicomImage(std::span<const unsigned char> file) : parsed_(std::make_unique<Parsed>())
{
    silenceLibrary();
    if (!hasDicomPrefix(file) || !StructureWalk(file).fits()) throw DicomError(DicomProblem::Corrupt, {});
    MemoryBuffer buffer(file);
    std::istream in(&buffer);
    gdcm::ImageReader& reader = parsed_->reader;
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

std::size_t DicomImage::pixelBytes() const { return parsed_->reader.GetImage().GetBufferLength(); }

void DicomImage::decodePixels(std::span<unsigned char> out) const
{
    const gdcm::File& file = parsed_->reader.GetFile();
    const gdcm::TransferSyntax ts = file.GetHeader().GetDataSetTransferSyntax();
    const gdcm::DataSet& data = file.GetDataSet();
    // Native pixel data must hold every byte the attributes promise: a file cut
    // short inside it still parses.
    if (!ts.IsEncapsulated()) {
        const gdcm::ByteValue* value = data.GetDataElement(PixelDataTag).GetByteValue();
        if (value == nullptr || value->GetLength() < out.size())
            throw DicomError(DicomProblem::Corrupt, transferSyntaxOf(file));
    }
    if (out.size() != pixelBytes() || !parsed_->reader.GetImage().GetBuffer(reinterpret_cast<char*>(out.data())))
        throw DicomError(canDecode(ts) ? DicomProblem::Corrupt : DicomProblem::Undecodable, transferSyntaxOf(file));
}

}  // namespace quelby
