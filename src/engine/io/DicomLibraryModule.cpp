#include "engine/io/DicomLibraryEntry.h"

#include <gdcmImageReader.h>
#include <gdcmJPEG2000Codec.h>
#include <gdcmJPEGCodec.h>
#include <gdcmJPEGLSCodec.h>
#include <gdcmRAWCodec.h>
#include <gdcmRLECodec.h>
#include <gdcmReader.h>
#include <gdcmTrace.h>

#include <cstring>
#include <istream>
#include <span>
#include <streambuf>
#include <string>

// The DICOM library, in a module of its own: the programs start without its
// dictionaries and only a file that needs it loads it.
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

// Only ever called in the child.
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

}  // namespace

}  // namespace quelby

extern "C" __attribute__((visibility("default"))) void quelby_dicom_library_decode(const unsigned char* file,
                                                                                  std::size_t size,
                                                                                  quelby::LibraryOutcome* outcome,
                                                                                  unsigned char* pixels,
                                                                                  std::size_t room)
{
    quelby::decodeHere(std::span<const unsigned char>(file, size), *outcome, pixels, room);
}
