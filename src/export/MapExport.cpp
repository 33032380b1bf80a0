#include "MapExport.h"

#include "CheckedFloat.h"
#include "Failure.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {

namespace {

QByteArray recordBytes(const Map& map, bool gFactor)
{
    QByteArray bytes(ExportFileBytes, Qt::Uninitialized);
    qsizetype at = 0;
    for (const MapRow& row : map)
        for (double value : row) {
            const std::uint16_t record = exportRecord(value, gFactor);
            bytes[at++] = static_cast<char>(record & 0xFF);
            bytes[at++] = static_cast<char>(record >> 8);
        }
    return bytes;
}

// The new file is a temporary one renamed over the old, and a rename replaces a
// read-only file too (always so for root); refuse it, and a folder of that name,
// as opening it for writing would be refused.
void checkTarget(const std::string& path, const std::string& folder)
{
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) throwFileError(errno, path);
    if (!S_ISDIR(st.st_mode)) throwFileError(ENOTDIR, path);

    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0) throwFileError(EACCES, path);
        if (::access(path.c_str(), W_OK) != 0) throwFileError(errno, path);
    } else if (errno != ENOENT) {
        throwFileError(errno, path);
    }
}

class Writer {
public:
    Writer(const FileCalls& calls, std::string target) : calls_(calls), target_(std::move(target)) {}

    [[noreturn]] void fail(int err) const { throwFileError(err, target_); }

    // Every byte in one write. A regular file stores less only when it meets
    // a limit or a full disk, which is a short write.
    void writeAll(int fd, const QByteArray& bytes) const
    {
        ssize_t n;
        do n = calls_.write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
        while (n < 0 && errno == EINTR);
        if (n < 0) fail(errno);
        if (n != bytes.size()) throw Failure::file(ShortWriteCode);
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

    void fill(const QByteArray& bytes, std::optional<mode_t> keptMode)
    {
        // The replaced file's permissions, which the creation mask may have narrowed.
        if (keptMode && ::fchmod(fd_, *keptMode) != 0) writer_.fail(errno);
        writer_.writeAll(fd_, bytes);
        const int fd = fd_;
        fd_ = -1;
        writer_.syncAndClose(fd);
    }

    void replace(const std::string& target, const std::string& folder)
    {
        if (writer_.calls_.rename(path_.c_str(), target.c_str()) != 0) writer_.fail(errno);
        path_.clear();
        // The rename itself reaches the disk with the folder.
        const int dir = writer_.calls_.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (dir < 0) writer_.fail(errno);
        if (writer_.calls_.fsync(dir) != 0) {
            const int err = errno;
            writer_.calls_.close(dir);
            writer_.fail(err);
        }
        if (writer_.calls_.close(dir) != 0) writer_.fail(errno);
    }

private:
    const Writer& writer_;
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
};

// Where the folder takes no new file but the file itself may be written, the
// file is rewritten in place: a failure then leaves it part written.
void rewriteInPlace(const Writer& writer, const QByteArray& bytes)
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

std::uint16_t exportRecord(double value, bool gFactor)
{
    const auto n = static_cast<std::uint64_t>(checked::trunc(std::floor(static_cast<checked::Extended>(value))));
    return static_cast<std::uint16_t>(gFactor ? n * 10 : n);
}

// Writing record by record into the file itself would leave a truncated file
// where the previous one stood whenever a write fails, so the records are built
// first, written to a temporary file beside the target and synced, and only
// then renamed over the old file.
void writeMapFile(const QString& path, const Map& map, bool gFactor, const FileCalls& calls)
{
    const QFileInfo info(path);
    const std::string target = QFile::encodeName(info.absoluteFilePath()).toStdString();
    const std::string folder = QFile::encodeName(info.absolutePath()).toStdString();
    checkTarget(target, folder);
    const QByteArray bytes = recordBytes(map, gFactor);

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
    temporary.replace(target, folder);
}

}  // namespace quelby
