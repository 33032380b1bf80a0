#include "MapExport.h"

#include "CheckedFloat.h"
#include "Failure.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cmath>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {

namespace {

constexpr int AccessDeniedCode = 5;

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

// The code of the call that just failed: its errno, or `fallback` when it set none.
[[noreturn]] void failAfterCall(int fallback, const std::string& path)
{
    const int err = errno;
    if (err != 0) throwFileError(err, path);
    throw Failure::file(fallback);
}

// The new file is a temporary one renamed over the old, and a rename replaces a
// read-only file too (always so for root); refuse it, and a folder of that name,
// as opening it for writing would be refused. The folder is looked at here as
// well, because the save file's own errors do not carry the system's code.
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
    if (::access(folder.c_str(), W_OK | X_OK) != 0) throwFileError(errno, path);
}

}  // namespace

std::uint16_t exportRecord(double value, bool gFactor)
{
    const auto n = static_cast<std::uint64_t>(checked::trunc(std::floor(static_cast<checked::Extended>(value))));
    return static_cast<std::uint16_t>(gFactor ? n * 10 : n);
}

// Writing record by record into the file itself would leave a truncated file
// where the previous one stood whenever a write fails, so the records are built
// first and replace the old file only once all of them are stored.
void writeMapFile(const QString& path, const Map& map, bool gFactor)
{
    const QFileInfo info(path);
    const std::string target = QFile::encodeName(info.absoluteFilePath()).toStdString();
    checkTarget(target, QFile::encodeName(info.absolutePath()).toStdString());

    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) failAfterCall(AccessDeniedCode, target);

    const QByteArray bytes = recordBytes(map, gFactor);
    errno = 0;
    const qint64 written = file.write(bytes);
    if (written < 0) failAfterCall(ShortWriteCode, target);
    if (written != bytes.size()) throw Failure::file(ShortWriteCode);

    errno = 0;
    if (!file.commit()) failAfterCall(ShortWriteCode, target);
}

}  // namespace quelby
