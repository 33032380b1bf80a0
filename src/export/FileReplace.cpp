#include "export/FileReplace.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <random>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace quelby {

namespace {

class Writer {
public:
    Writer(const FileCalls& calls, std::string target) : calls_(calls), target_(std::move(target)) {}

    [[noreturn]] void fail(int err) const { throw FileWriteError(err); }

    // Every byte in one write. A regular file stores less only when it meets
    // a limit or a full disk, which is a short write.
    void writeAll(int fd, std::span<const char> bytes) const
    {
        ssize_t n;
        do n = calls_.write(fd, bytes.data(), bytes.size());
        while (n < 0 && errno == EINTR);
        if (n < 0) fail(errno);
        if (static_cast<std::size_t>(n) != bytes.size()) throw FileWriteError(0);
    }

    // The data on the disk, then the descriptor closed, each checked.
    void syncAndClose(int fd) const
    {
        if (calls_.fdatasync(fd) != 0) {
            const int err = errno;
            calls_.close(fd);
            fail(err);
        }
        if (calls_.close(fd) != 0) fail(errno);
    }

    const FileCalls& calls_;
    std::string target_;
};

// A temporary file beside the target, removed unless it has been renamed into place.
class Temporary {
public:
    Temporary(const Writer& writer, const std::string& folder, mode_t mode) : writer_(writer)
    {
        // A short name of its own, so that a target of the longest name can be replaced.
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            char name[32];
            std::snprintf(name, sizeof name, "/.quelby-%08x", static_cast<unsigned>(random()));
            path_ = folder + name;
            fd_ = writer.calls_.open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd_ >= 0 || errno != EEXIST) break;
        }
        if (fd_ < 0) {
            error_ = errno;
            path_.clear();
        }
    }
    ~Temporary()
    {
        if (fd_ >= 0) writer_.calls_.close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    int error() const { return error_; }

    void fill(std::span<const char> bytes, std::optional<mode_t> keptMode)
    {
        // The replaced file's permissions, which the creation mask may have narrowed.
        if (keptMode && ::fchmod(fd_, *keptMode) != 0) writer_.fail(errno);
        writer_.writeAll(fd_, bytes);
        const int fd = fd_;
        fd_ = -1;
        writer_.syncAndClose(fd);
    }

    void replace(const std::string& target)
    {
        if (writer_.calls_.rename(path_.c_str(), target.c_str()) != 0) writer_.fail(errno);
        path_.clear();
    }

    // The filled file handed to the caller, who renames or removes it.
    std::string release() { return std::exchange(path_, std::string()); }

private:
    const Writer& writer_;
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
};

// Where the folder takes no new file but the file itself may be written, the
// file is rewritten in place: a failure then leaves it part written.
void rewriteInPlace(const Writer& writer, std::span<const char> bytes)
{
    const int fd = writer.calls_.open(writer.target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC, 0);
    if (fd < 0) writer.fail(errno);
    try {
        writer.writeAll(fd, bytes);
    } catch (...) {
        writer.calls_.close(fd);
        throw;
    }
    writer.syncAndClose(fd);
}

}  // namespace

FileWriteError::FileWriteError(int error)
    : std::runtime_error(error == 0 ? "a write stored less than asked: the disk is full or a file size limit was met"
                                  : std::strerror(error)), error_(error)
{
}

void syncFolder(const std::string& folder, const FileCalls& calls)
{
    const int dir = calls.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir < 0) throw FileWriteError(errno);
    if (calls.fsync(dir) != 0) {
        const int err = errno;
        calls.close(dir);
        throw FileWriteError(err);
    }
    if (calls.close(dir) != 0) throw FileWriteError(errno);
}

bool isTemporaryName(const std::string& name)
{
    static constexpr std::string_view prefix = ".quelby-";
    return name.size() == prefix.size() + 8 && name.starts_with(prefix) &&
           std::all_of(name.begin() + prefix.size(), name.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

std::string writeTemporary(const std::string& folder, std::span<const char> bytes, mode_t mode, const FileCalls& calls)
{
    const Writer writer(calls, folder);
    Temporary temporary(writer, folder, mode);
    if (temporary.error() != 0) writer.fail(temporary.error());
    temporary.fill(bytes, std::nullopt);
    return temporary.release();
}

void replaceFile(const std::string& target, const std::string& folder, std::span<const char> bytes,
                 const FileCalls& calls, bool syncsFolder)
{
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    const Writer writer(calls, target);
    Temporary temporary(writer, folder, exists ? st.st_mode & 07777 : 0666);
    if (temporary.error() != 0) {
        const int err = temporary.error();
        if (exists && (err == EACCES || err == EPERM || err == ENAMETOOLONG)) return rewriteInPlace(writer, bytes);
        writer.fail(err);
    }
    temporary.fill(bytes, exists ? std::optional<mode_t>(st.st_mode & 07777) : std::nullopt);
    temporary.replace(target);
    // The rename itself reaches the disk with the folder.
    if (syncsFolder) syncFolder(folder, calls);
}

}  // namespace quelby
