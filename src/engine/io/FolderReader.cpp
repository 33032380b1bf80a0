#include "engine/io/FolderReader.h"

#include "engine/io/DicomImage.h"
#include "engine/core/Failure.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace quelby {

static_assert(sizeof(off_t) >= 8, "image files of 4 GiB and more need a 64-bit off_t");

namespace {

// Listing a folder: a folder that is missing altogether is a wrong path (3),
// whether or not its parent exists.
[[noreturn]] void throwListingError(int err, const std::string& folder)
{
    if (err == ENOENT) throw Failure::file(3);
    throwFileError(err, folder);
}

unsigned char folded(char ch)
{
    const auto c = static_cast<unsigned char>(ch);
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Case-insensitive ASCII order, ties byte-wise, so every machine takes the
// files, and so picks the representative image, in the same order.
bool nameBefore(const std::string& a, const std::string& b)
{
    const auto foldedLess = [](char x, char y) { return folded(x) < folded(y); };
    if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), foldedLess)) return true;
    if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), foldedLess)) return false;
    return a < b;
}

// Whether a listed entry is taken as an image. Entries that cannot be looked
// at (a dangling link) are taken, so their read fails with a message instead
// of the data silently going missing; FIFOs, sockets and devices are not, so
// that none of them can block a run.
bool isImageEntry(int folderFd, const dirent& entry)
{
    if (entry.d_name[0] == '.') return false;
    if (entry.d_type == DT_REG) return true;
    if (entry.d_type == DT_DIR) return false;
    struct stat st {};
    if (::fstatat(folderFd, entry.d_name, &st, 0) != 0) return true;
    return S_ISREG(st.st_mode);
}

class FolderListing {
public:
    explicit FolderListing(const std::string& folder) : folder_(folder), dir_(::opendir(folder.c_str()))
    {
        if (dir_ == nullptr) throwListingError(errno, folder_);
    }
    ~FolderListing()
    {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;

    std::vector<std::string> imageNames()
    {
        std::vector<std::string> names;
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir_);
            if (entry == nullptr) break;
            if (isImageEntry(::dirfd(dir_), *entry)) names.emplace_back(entry->d_name);
        }
        if (errno != 0) throwListingError(errno, folder_);
        return names;
    }

    void close()
    {
        DIR* dir = dir_;
        dir_ = nullptr;
        if (::closedir(dir) != 0) throwListingError(errno, folder_);
    }

private:
    std::string folder_;
    DIR* dir_;
};

// One open input file; closed on every way out, the normal close checked.
class InputFile {
public:
    explicit InputFile(const std::string& path)
        : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
        if (fd_ < 0) fail(errno);
    }
    ~InputFile()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::int64_t size() const
    {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) fail(errno);
        return st.st_size;
    }

    void readAt(std::int64_t offset, unsigned char* bytes, std::int64_t count) const
    {
        std::int64_t done = 0;
        while (done < count) {
            const ssize_t got = ::pread(fd_, bytes + done, static_cast<std::size_t>(count - done), offset + done);
            if (got < 0) {
                if (errno == EINTR) continue;
                fail(errno);
            }
            if (got == 0) throw Failure::file(ShortReadCode);
            done += got;
        }
    }

    // Whether the file opens with the preamble and "DICM"; false for a file too short for them.
    // A file shorter than the preamble and prefix does not; read without
    // asking the size first, since every file of a pass is probed.
    bool startsAsDicom() const
    {
        std::array<unsigned char, DicomPrefixBytes> prefix{};
        for (std::size_t done = 0; done < prefix.size();) {
            const ssize_t got = ::pread(fd_, prefix.data() + done, prefix.size() - done, static_cast<off_t>(done));
            if (got < 0) {
                if (errno == EINTR) continue;
                fail(errno);
            }
            if (got == 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return hasDicomPrefix(prefix);
    }

    void close()
    {
        const int fd = fd_;
        fd_ = -1;
        // On Linux the descriptor is released even when close reports EINTR.
        if (::close(fd) != 0 && errno != EINTR) fail(errno);
    }

private:
    [[noreturn]] void fail(int err) const { throwFileError(err, path_); }

    std::string path_;
    int fd_;
};

constexpr const char* StrayFileText = "DICOM 画像ではありません (DICOM の系列に混ざっています)";

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string dicomProblemText(const DicomError& error)
{
    switch (error.problem()) {
    case DicomProblem::NoImage: return "画像を含まない DICOM ファイルです";
    case DicomProblem::Undecodable:
        return "転送構文 " + (error.transferSyntax().empty() ? std::string("(不明)") : error.transferSyntax()) +
               " の画素データは復号できません";
    case DicomProblem::Corrupt: break;
    }
    return "DICOM ファイルが壊れているか途中で切れています";
}

// Why the window cannot measure this image, or empty when it can.
std::string unmeasurableReason(const DicomPixelFormat& f)
{
    char text[160];
    if (!f.isMonochrome || f.samplesPerPixel != 1 || f.bitsAllocated != 16) {
        std::snprintf(text, sizeof text, "%d サンプル %d ビットの%s画像は測定できません (16 ビットのグレースケールのみ)",
                      f.samplesPerPixel, f.bitsAllocated, f.isMonochrome ? "" : "カラー");
        return text;
    }
    if (f.frames != 1) {
        std::snprintf(text, sizeof text, "%d フレームの画像は測定できません (1 フレームのみ)", f.frames);
        return text;
    }
    if (f.rows != ImageSide || f.columns != ImageSide) {
        std::snprintf(text, sizeof text, "%d × %d の画像は測定できません (256 × 256 のみ)", f.columns, f.rows);
        return text;
    }
    return {};
}

[[noreturn]] void throwUnmeasurable(const std::string& path, const std::string& reason)
{
    throw Failure(nameOf(path) + ": " + reason);
}

// The whole file, in a buffer kept between files so that a run allocates once.
std::span<const unsigned char> wholeFile(const InputFile& file, std::int64_t size)
{
    static std::vector<unsigned char> bytes;
    bytes.resize(static_cast<std::size_t>(size));
    file.readAt(0, bytes.data(), size);
    return bytes;
}

SampleKind readDicomImage(const std::string& path, const InputFile& file, std::int64_t size, ImageBytesBuffer& bytes)
{
    try {
        const DicomImage image(wholeFile(file, size));
        const std::string reason = unmeasurableReason(image.format());
        if (!reason.empty()) throwUnmeasurable(path, reason);
        image.decodePixels(bytes);
        return image.format().isSigned ? SampleKind::Int16 : SampleKind::Uint16;
    } catch (const DicomError& error) {
        throwUnmeasurable(path, dicomProblemText(error));
    }
}

}  // namespace

SeriesFormat ProbeSeriesFormat(const std::string& folder, const std::vector<std::string>& names)
{
    const std::string* firstOther = nullptr;
    bool anyDicom = false;
    for (const std::string& name : names) {
        bool dicom = false;
        try {
            InputFile file(ImageFilePath(folder, name));
            dicom = file.startsAsDicom();
        } catch (const Failure&) {
            continue;
        }
        anyDicom |= dicom;
        if (!dicom && firstOther == nullptr) firstOther = &name;
    }
    if (!anyDicom) return SeriesFormat::Raw;
    if (firstOther != nullptr) throw Failure(*firstOther + ": " + StrayFileText);
    return SeriesFormat::Dicom;
}

std::vector<std::string> ListImageFiles(const std::string& folder)
{
    FolderListing listing(folder);
    std::vector<std::string> names = listing.imageNames();
    listing.close();
    std::sort(names.begin(), names.end(), nameBefore);
    return names;
}

std::string ImageFilePath(const std::string& folder, const std::string& name) { return folder + "/" + name; }

int CountImageFiles(const std::string& folder) { return static_cast<int>(ListImageFiles(folder).size()); }

SampleKind ReadImageFile(const std::string& path, ImageBytesBuffer& bytes, SeriesFormat format)
{
    InputFile file(path);
    const std::int64_t size = file.size();
    if (format == SeriesFormat::Dicom) {
        // The folder may have changed since it was probed.
        if (!file.startsAsDicom()) throwUnmeasurable(path, StrayFileText);
        const SampleKind kind = readDicomImage(path, file, size, bytes);
        file.close();
        return kind;
    }
    // The image is the last 65,536 whole records, counted from the first byte;
    // a shorter file would need a move before its start, which the system refuses.
    if (size < ImageBytes) throw Failure::file(EINVAL);
    const std::int64_t start = 2 * (size / 2 - FramePixels);
    file.readAt(start, bytes.data(), ImageBytes);
    file.close();
    return SampleKind::Int16;
}

}  // namespace quelby
