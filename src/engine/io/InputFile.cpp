#include "engine/io/InputFile.h"

#include "engine/io/DicomImage.h"
#include "engine/io/FileFailure.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {

static_assert(sizeof(off_t) >= 8, "image files of 4 GiB and more need a 64-bit off_t");

// Non-blocking, so that a FIFO swapped in after the listing cannot hang a run.
InputFile::InputFile(const std::string& path) : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
{
    if (fd_ < 0) fail(errno);
}

InputFile::~InputFile()
{
    if (fd_ >= 0) ::close(fd_);
}

std::int64_t InputFile::size() const
{
    struct stat st {};
    if (::fstat(fd_, &st) != 0) fail(errno);
    return st.st_size;
}

void InputFile::readAt(std::int64_t offset, std::span<unsigned char> into) const
{
    if (readUpTo(offset, into) != into.size()) throw FileFailure::shortRead(path_);
}

void InputFile::readAll(std::vector<unsigned char>& bytes) const
{
    bytes.resize(static_cast<std::size_t>(size()));
    readAt(0, bytes);
}

bool InputFile::startsAsDicom() const
{
    std::array<unsigned char, DicomPrefixBytes> prefix{};
    return readUpTo(0, prefix) == prefix.size() && hasDicomPrefix(prefix);
}

void InputFile::close()
{
    const int fd = fd_;
    fd_ = -1;
    // On Linux the descriptor is released even when close reports EINTR.
    if (::close(fd) != 0 && errno != EINTR) fail(errno);
}

std::size_t InputFile::readUpTo(std::int64_t offset, std::span<unsigned char> into) const
{
    std::size_t done = 0;
    while (done < into.size()) {
        const ssize_t got = ::pread(fd_, into.data() + done, into.size() - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail(errno);
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void InputFile::fail(int err) const { throw FileFailure(err, path_); }

}  // namespace quelby
