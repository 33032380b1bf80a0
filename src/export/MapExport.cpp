#include "export/MapExport.h"

#include "engine/core/CheckedFloat.h"
#include "engine/core/Failure.h"
#include "export/FileReplace.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cmath>
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

}  // namespace

std::uint16_t exportRecord(double value, bool gFactor)
{
    const auto n = static_cast<std::uint64_t>(checked::trunc(std::floor(static_cast<checked::Extended>(value))));
    return static_cast<std::uint16_t>(gFactor ? n * 10 : n);
}

// Writing record by record into the file itself would leave a truncated file
// where the previous one stood whenever a write fails, so the records are built
// first and replace the old file only once they are all on the disk.
void writeMapFile(const QString& path, const Map& map, bool gFactor, const FileCalls& calls)
{
    const QFileInfo info(path);
    const std::string target = QFile::encodeName(info.absoluteFilePath()).toStdString();
    const std::string folder = QFile::encodeName(info.absolutePath()).toStdString();
    checkTarget(target, folder);
    const QByteArray bytes = recordBytes(map, gFactor);

    try {
        replaceFile(target, folder, std::span<const char>(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                    calls);
    } catch (const FileWriteError& e) {
        if (e.error() == 0) throw Failure::file(ShortWriteCode);
        throwFileError(e.error(), target);
    }
}

}  // namespace quelby
