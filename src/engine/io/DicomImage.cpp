#include "engine/io/DicomImage.h"

#include "engine/io/DicomStructure.h"

#include <gdcmImageReader.h>
#include <gdcmJPEG2000Codec.h>
#include <gdcmJPEGCodec.h>
#include <gdcmJPEGLSCodec.h>
#include <gdcmRAWCodec.h>
#include <gdcmRLECodec.h>
#include <gdcmReader.h>
#include <gdcmTrace.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <istream>
#include <new>
#include <streambuf>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

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
    std::span<const unsigned char> nativePixels;  // native pixel data, in the file
    bool bigEndian = false;
    std::vector<unsigned char> decoded;  // what the library decoded, for every other file
    bool byLibrary = false;
    std::string transferSyntax;
};

namespace {

// What the library's child reports.
struct LibraryOutcome {
    enum Status : int { Decoded, NoImage, Undecodable, Corrupt, Larger } status = Corrupt;
    DicomPixelFormat format;
    std::size_t length = 0;
    char transferSyntax[68] = {};
};

// Parses and decodes in this process; only ever called in the child.
void decodeHere(std::span<const unsigned char> file, LibraryOutcome& outcome, unsigned char* pixels, std::size_t room)
{
    silenceLibrary();
    MemoryBuffer buffer(file);
    std::istream in(&buffer);
    gdcm::ImageReader reader;
    reader.SetStream(in);
    const auto keepSyntax = [&](const gdcm::File& f) {
        std::strncpy(outcome.transferSyntax, transferSyntaxOf(f).c_str(), sizeof outcome.transferSyntax - 1);
    };
    if (!reader.Read()) {
        // Tell an object that parses but holds no image from a broken file.
        MemoryBuffer again(file);
        std::istream retry(&again);
        gdcm::Reader plain;
        plain.SetStream(retry);
        const bool parses = plain.Read();
        keepSyntax(plain.GetFile());
        const std::string ts = outcome.transferSyntax;
        if (parses && !plain.GetFile().GetDataSet().FindDataElement(PixelDataTag))
            outcome.status = LibraryOutcome::NoImage;
        else if (!ts.empty() && !canDecode(gdcm::TransferSyntax::GetTSType(ts.c_str())))
            outcome.status = LibraryOutcome::Undecodable;
        return;
    }
    keepSyntax(reader.GetFile());
    const gdcm::Image& image = reader.GetImage();
    const unsigned int* dims = image.GetDimensions();
    const gdcm::PixelFormat& pixel = image.GetPixelFormat();
    const gdcm::PhotometricInterpretation pi = image.GetPhotometricInterpretation();
    DicomPixelFormat& f = outcome.format;
    f.columns = static_cast<int>(dims[0]);
    f.rows = static_cast<int>(dims[1]);
    f.frames = image.GetNumberOfDimensions() > 2 ? static_cast<int>(dims[2]) : 1;
    f.samplesPerPixel = pixel.GetSamplesPerPixel();
    f.bitsAllocated = pixel.GetBitsAllocated();
    f.isSigned = pixel.GetPixelRepresentation() != 0;
    f.isMonochrome =
        pi == gdcm::PhotometricInterpretation::MONOCHROME1 || pi == gdcm::PhotometricInterpretation::MONOCHROME2;
    outcome.length = image.GetBufferLength();
    if (outcome.length > room) {
        outcome.status = LibraryOutcome::Larger;
        return;
    }
    const gdcm::TransferSyntax ts = reader.GetFile().GetHeader().GetDataSetTransferSyntax();
    if (!ts.IsEncapsulated()) {
        // Native pixel data must hold the bytes the attributes promise, a pad aside.
        const gdcm::ByteValue* value = reader.GetFile().GetDataSet().GetDataElement(PixelDataTag).GetByteValue();
        if (value == nullptr || (value->GetLength() != outcome.length && value->GetLength() != outcome.length + 1))
            return;
    }
    if (image.GetBuffer(reinterpret_cast<char*>(pixels)))
        outcome.status = LibraryOutcome::Decoded;
    else if (!canDecode(ts))
        outcome.status = LibraryOutcome::Undecodable;
}

// Memory the child writes and this process reads.
class SharedMemory {
public:
    explicit SharedMemory(std::size_t bytes)
        : size_(bytes), data_(::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))
    {
        if (data_ == MAP_FAILED) throw std::bad_alloc();
    }
    ~SharedMemory() { ::munmap(data_, size_); }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    unsigned char* bytes() const { return static_cast<unsigned char*>(data_); }

private:
    std::size_t size_;
    void* data_;
};

// The library asserts, aborting its process, and may crash on some damaged
// files, compressed ones above all; so it parses and decodes in a child, and
// a child that dies, or takes more than a minute, means a broken file.
LibraryOutcome decodeInChild(std::span<const unsigned char> file, std::size_t room, std::vector<unsigned char>& pixels)
{
    SharedMemory shared(sizeof(LibraryOutcome) + std::max<std::size_t>(room, 1));
    auto* outcome = new (shared.bytes()) LibraryOutcome();
    unsigned char* into = shared.bytes() + sizeof(LibraryOutcome);
    const pid_t child = ::fork();
    if (child < 0) throw DicomError(DicomProblem::Corrupt, {});
    if (child == 0) {
        decodeHere(file, *outcome, into, room);
        ::_exit(0);
    }
    int status = 0;
    for (int waited = 0;; ++waited) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (done < 0 && errno != EINTR) return LibraryOutcome{};
        if (waited == 60'000) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return LibraryOutcome{};
        }
        ::usleep(waited < 100 ? 50 : 1000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return LibraryOutcome{};
    if (outcome->status == LibraryOutcome::Decoded) pixels.assign(into, into + outcome->length);
    return *outcome;
}

}  // namespace

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
    // Room for what the attributes promise; a decoder wanting more is told so and asked again.
    const DicomStructure& d = *structure;
    std::size_t room = static_cast<std::size_t>(d.rows.value_or(0)) * static_cast<std::size_t>(d.columns.value_or(0)) *
                       static_cast<std::size_t>(d.frames.value_or(1)) * static_cast<std::size_t>(d.samplesPerPixel.value_or(1)) *
                       static_cast<std::size_t>((d.bitsAllocated.value_or(16) + 7) / 8);
    LibraryOutcome outcome = decodeInChild(file, room, parsed_->decoded);
    if (outcome.status == LibraryOutcome::Larger && outcome.length <= (std::size_t{1} << 34))
        outcome = decodeInChild(file, room = outcome.length, parsed_->decoded);
    const std::string ts = outcome.transferSyntax[0] != 0 ? outcome.transferSyntax : parsed_->transferSyntax;
    switch (outcome.status) {
    case LibraryOutcome::Decoded: break;
    case LibraryOutcome::NoImage: throw DicomError(DicomProblem::NoImage, ts);
    case LibraryOutcome::Undecodable: throw DicomError(DicomProblem::Undecodable, ts);
    default: throw DicomError(DicomProblem::Corrupt, ts);
    }
    format_ = outcome.format;
    parsed_->byLibrary = true;
    parsed_->transferSyntax = ts;
}

DicomImage::~DicomImage() = default;

std::size_t DicomImage::pixelBytes() const
{
    if (parsed_->byLibrary) return parsed_->decoded.size();
    return static_cast<std::size_t>(format_.rows) * static_cast<std::size_t>(format_.columns) *
           static_cast<std::size_t>(format_.frames) * static_cast<std::size_t>(format_.samplesPerPixel) *
           static_cast<std::size_t>(format_.bitsAllocated / 8);
}

void DicomImage::decodePixels(std::span<unsigned char> out) const
{
    // A decoder that would give other than the attributes promise is a broken file.
    if (out.size() != pixelBytes()) throw DicomError(DicomProblem::Corrupt, parsed_->transferSyntax);
    copyOut(0, out);
}

void DicomImage::decodeFrame(int k, std::span<unsigned char> out) const
{
    const std::size_t frameBytes = format_.frames > 0 ? pixelBytes() / static_cast<std::size_t>(format_.frames) : 0;
    if (k < 0 || k >= format_.frames || out.size() != frameBytes)
        throw DicomError(DicomProblem::Corrupt, parsed_->transferSyntax);
    copyOut(frameBytes * static_cast<std::size_t>(k), out);
}

void DicomImage::copyOut(std::size_t from, std::span<unsigned char> out) const
{
    if (parsed_->byLibrary) {
        std::memcpy(out.data(), parsed_->decoded.data() + from, out.size());
        return;
    }
    // Native pixel data must hold the bytes the attributes promise, and no
    // more than the pad to an even length.
    const std::span<const unsigned char> stored = parsed_->nativePixels;
    if (stored.size() != pixelBytes() && stored.size() != pixelBytes() + 1)
        throw DicomError(DicomProblem::Corrupt, parsed_->transferSyntax);
    if (!parsed_->bigEndian) {
        std::memcpy(out.data(), stored.data() + from, out.size());
    } else {
        for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
            out[i] = stored[from + i + 1];
            out[i + 1] = stored[from + i];
        }
    }
}

}  // namespace quelby
