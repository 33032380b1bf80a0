#include "engine/io/DicomImage.h"

#include "engine/io/DicomImageCheck.h"
#include "engine/io/DicomLibrary.h"
#include "engine/io/DicomStructure.h"
#include "engine/io/ModuleEntry.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <new>
#include <optional>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quelby {

namespace {

// A native image whose attributes the walk found is read without the library:
// its pixel data is the stored samples in the data set's byte order, and the
// library's parse costs several times the reading of the file.
std::optional<DicomPixelFormat> nativeFormat(const DicomStructure& s)
{
    if (!s.native || !s.rows || !s.columns || !s.samplesPerPixel || !s.bitsAllocated ||
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

std::optional<PlainFrames> plainFrames(const DicomStructure& s, std::size_t fileBytes)
{
    const std::optional<DicomPixelFormat> f = nativeFormat(s);
    if (!f || s.bigEndian || f->bitsAllocated != 16 || f->samplesPerPixel != 1 || !f->isMonochrome ||
        !s.pixelDataOffset || !s.pixelDataBytes)
        return std::nullopt;
    PlainFrames plain;
    plain.fileBytes = fileBytes;
    plain.offset = *s.pixelDataOffset;
    plain.frameBytes = 2 * static_cast<std::size_t>(f->rows) * static_cast<std::size_t>(f->columns);
    plain.count = static_cast<std::uint32_t>(f->frames);
    plain.kind = f->isSigned ? SampleKind::Int16 : SampleKind::Uint16;
    if (*s.pixelDataBytes < plain.frameBytes * plain.count) return std::nullopt;
    return plain;
}

bool hasDicomPrefix(std::span<const unsigned char> firstBytes)
{
    return firstBytes.size() >= DicomPrefixBytes && std::memcmp(firstBytes.data() + 128, "DICM", 4) == 0;
}

DicomError::DicomError(DicomProblem problem, const std::string& transferSyntax, const std::string& detail)
    : std::runtime_error("DICOM file without a usable image"),
      problem_(problem),
      transferSyntax_(transferSyntax),
      detail_(detail)
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

#if defined(__SANITIZE_ADDRESS__)
constexpr bool AddressSpaceReserved = true;
#elif defined(__has_feature)
constexpr bool AddressSpaceReserved = __has_feature(address_sanitizer);
#else
constexpr bool AddressSpaceReserved = false;
#endif

// What the child may map beyond what this process maps now: the library takes
// a damaged length as it stands and would ask for gigabytes on a file of a few
// hundred bytes. The address sanitizer's reserved shadow leaves no limit to set.
std::optional<rlim_t> childAddressSpace(std::size_t fileBytes, std::size_t room)
{
    if (AddressSpaceReserved) return std::nullopt;
    std::ifstream statm("/proc/self/statm");
    unsigned long long pages = 0;
    if (!(statm >> pages)) return std::nullopt;
    const auto page = static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
    return static_cast<rlim_t>(pages * page + 2 * readingCeiling(fileBytes) + room + (std::size_t{256} << 20));
}

// The library asserts, aborting its process, and may crash on some damaged
// files, compressed ones above all; so it parses and decodes in a child, and
// a child that dies, or takes more than a minute, means a broken file.
LibraryOutcome decodeInChild(std::span<const unsigned char> file, std::size_t room, std::vector<unsigned char>& pixels)
{
    const LibraryDecode decode = dicomLibrary();
    SharedMemory shared(sizeof(LibraryOutcome) + std::max<std::size_t>(room, 1));
    auto* outcome = new (shared.bytes()) LibraryOutcome();
    unsigned char* into = shared.bytes() + sizeof(LibraryOutcome);
    const std::optional<rlim_t> addressSpace = childAddressSpace(file.size(), room);
    pid_t child = -1;
    {
        const std::lock_guard loading(moduleLoading());
        child = ::fork();
    }
    if (child < 0) throw DicomError(DicomProblem::Corrupt, {});
    if (child == 0) {
        // The library's assertions would reach our standard error before the refusal that says why.
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
        if (addressSpace) {
            const rlimit limit{*addressSpace, *addressSpace};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        decode(file.data(), file.size(), outcome, into, room);
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
    const bool image = meantAsImage(*structure);
    if (image)
        if (const std::string defect = imageDefect(*structure); !defect.empty())
            throw DicomError(DicomProblem::Corrupt, structure->transferSyntax, defect);
    if (const std::optional<DicomPixelFormat> native = nativeFormat(*structure); native && structure->pixelData) {
        format_ = *native;
        parsed_->nativePixels = *structure->pixelData;
        parsed_->bigEndian = structure->bigEndian;
        return;
    }
    // Exactly what the attributes promise, checked against the file above; a
    // decoder giving more or less is a broken file.
    const std::size_t room = image ? promisedPixelBytes(*structure) : 0;
    LibraryOutcome outcome = decodeInChild(file, room, parsed_->decoded);
    if (outcome.status == LibraryOutcome::Decoded && outcome.length != room) outcome.status = LibraryOutcome::Corrupt;
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
    // Either buffer may be empty, and memcpy takes no null pointer even for no bytes.
    if (out.empty()) return;
    if (parsed_->byLibrary) {
        std::memcpy(out.data(), parsed_->decoded.data() + from, out.size());
        return;
    }
    const std::span<const unsigned char> stored = parsed_->nativePixels;
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
