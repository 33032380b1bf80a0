#include "export/MapExport.h"

#include "engine/core/Failure.h"
#include "Unprivileged.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

namespace quelby {
namespace {

struct RecordCase {
    double value;
    bool gFactor;
    std::uint16_t expected;
};

class ExportRecord : public testing::TestWithParam<RecordCase> {};

TEST_P(ExportRecord, IsTheLow16BitsOfTheFloor)
{
    const auto& c = GetParam();
    EXPECT_EQ(exportRecord(c.value, c.gFactor), c.expected) << c.value << (c.gFactor ? " (g-factor)" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Values, ExportRecord,
    testing::Values(RecordCase{2.7, false, 2}, RecordCase{-0.5, false, 0xFFFF}, RecordCase{0.0, false, 0},
                    RecordCase{-0.0, false, 0}, RecordCase{32767.9, false, 32767},
                    RecordCase{-32768, false, 0x8000}, RecordCase{32768, false, 0x8000},
                    RecordCase{70000, false, 4464}, RecordCase{-70000, false, 61072},
                    RecordCase{123.4, true, 1230}, RecordCase{-0.5, true, 65526},
                    RecordCase{4000, true, 40000}, RecordCase{4503599627370497.0, false, 1},
                    RecordCase{4503599627370497.0, true, 10}, RecordCase{9.2e18, true, 0},
                    RecordCase{-9223372036854775808.0, false, 0}));

TEST(ExportRecordFault, BeyondThe64BitRangeIsAnInvalidOperation)
{
    for (double v : {9223372036854775808.0, -1e19, 1e300, std::numeric_limits<double>::infinity()}) {
        try {
            exportRecord(v, false);
            ADD_FAILURE() << v << " gave a record";
        } catch (const Failure& f) {
            EXPECT_STREQ(f.what(), "不正な浮動小数点数演算命令") << v;
        }
    }
}

class WriteMapFile : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    QString pathOf(const QString& name) const { return dir_.filePath(name); }

    static QByteArray contents(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static void put(const QString& path, const QByteArray& bytes)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }

    QStringList entries() const { return QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }

    // Runs the export and returns the failure message, empty when it succeeded.
    static std::string failureOf(const QString& path, const Map& map, bool gFactor = false,
                                 const FileCalls& calls = systemFileCalls())
    {
        try {
            writeMapFile(path, map, gFactor, calls);
        } catch (const Failure& f) {
            return f.what();
        }
        return {};
    }

    static std::uint16_t recordAt(const QByteArray& bytes, int row, int col)
    {
        const int k = (row * ImageSide + col) * 2;
        return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[k]) |
                                          static_cast<std::uint8_t>(bytes[k + 1]) << 8);
    }

    QTemporaryDir dir_;
    std::unique_ptr<Map> map_ = std::make_unique<Map>();
};

TEST_F(WriteMapFile, WritesRowMajorLittleEndianRecords)
{
    Map& map = *map_;
    map[0][0] = 1.9;
    map[0][1] = 258;
    map[0][255] = -2;
    map[1][0] = 70000;
    map[255][0] = -32768;
    map[255][255] = 32767;
    const QString path = pathOf("map.raw");
    writeMapFile(path, map, false);

    const QByteArray bytes = contents(path);
    ASSERT_EQ(bytes.size(), ExportFileBytes);
    EXPECT_EQ(bytes.left(4), QByteArray::fromHex("01000201"));
    EXPECT_EQ(bytes.mid(255 * 2, 4), QByteArray::fromHex("feff7011"));  // end of row 0, start of row 1
    EXPECT_EQ(recordAt(bytes, 255, 0), 0x8000);
    EXPECT_EQ(bytes.right(2), QByteArray::fromHex("ff7f"));
    EXPECT_EQ(recordAt(bytes, 128, 77), 0);
}

TEST_F(WriteMapFile, GFactorMapIsWrittenTimesTen)
{
    (*map_)[10][20] = 123.4;
    (*map_)[10][21] = 99.99;
    const QString path = pathOf("g.raw");
    writeMapFile(path, *map_, true);
    const QByteArray bytes = contents(path);
    EXPECT_EQ(recordAt(bytes, 10, 20), 1230);
    EXPECT_EQ(recordAt(bytes, 10, 21), 990);
}

TEST_F(WriteMapFile, AllZeroMapGivesZeroBytes)
{
    const QString path = pathOf("zero.raw");
    writeMapFile(path, *map_, false);
    EXPECT_EQ(contents(path), QByteArray(ExportFileBytes, '\0'));
}

TEST_F(WriteMapFile, ReplacesAnExistingFileWholly)
{
    const QString path = pathOf("again.raw");
    put(path, QByteArray(200000, 'x'));
    writeMapFile(path, *map_, false);
    (*map_)[0][0] = 7;
    writeMapFile(path, *map_, false);
    const QByteArray bytes = contents(path);
    ASSERT_EQ(bytes.size(), ExportFileBytes);
    EXPECT_EQ(recordAt(bytes, 0, 0), 7);
    EXPECT_EQ(entries(), QStringList{"again.raw"});
}

TEST_F(WriteMapFile, NewFileIsNotPrivateToItsTemporaryName)
{
    const QString path = pathOf("new.raw");
    writeMapFile(path, *map_, false);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(WriteMapFile, ReadOnlyTargetIsRefusedAndKept)
{
    const QString path = pathOf("locked.raw");
    const QByteArray old("old contents");
    put(path, old);
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));

    EXPECT_EQ(failureOf(path, *map_), "ファイルへのアクセスが拒否されました");
    EXPECT_EQ(contents(path), old);
    EXPECT_EQ(entries(), QStringList{"locked.raw"});
}

TEST_F(WriteMapFile, FolderOfTheTargetNameIsRefused)
{
    ASSERT_TRUE(QDir(dir_.path()).mkdir("taken"));
    EXPECT_EQ(failureOf(pathOf("taken"), *map_), "ファイルへのアクセスが拒否されました");
    EXPECT_EQ(entries(), QStringList{"taken"});
}

TEST_F(WriteMapFile, MissingFolderIsAWrongNameAndCreatesNothing)
{
    EXPECT_EQ(failureOf(pathOf("missing/map.raw"), *map_), "ファイル名の指定が間違っています");
    EXPECT_TRUE(entries().isEmpty());

    put(pathOf("plain"), "x");
    EXPECT_EQ(failureOf(pathOf("plain/map.raw"), *map_), "ファイル名の指定が間違っています");
    EXPECT_EQ(entries(), QStringList{"plain"});
}

TEST_F(WriteMapFile, ValueFaultKeepsThePreviousFile)
{
    const QString path = pathOf("fault.raw");
    writeMapFile(path, *map_, false);
    (*map_)[200][100] = 1e300;
    EXPECT_EQ(failureOf(path, *map_), "不正な浮動小数点数演算命令");
    EXPECT_EQ(contents(path), QByteArray(ExportFileBytes, '\0'));
    EXPECT_EQ(entries(), QStringList{"fault.raw"});
}

// A file size limit makes the system store only part of the records, as a full disk does.
TEST_F(WriteMapFile, ShortWriteIsADiskFullAndKeepsThePreviousFile)
{
    const QString path = pathOf("short.raw");
    const QByteArray old("previous export");
    put(path, old);
    (*map_)[0][0] = 1;

    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1000;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string message = failureOf(path, *map_);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(message, "ディスクがいっぱいです");
    EXPECT_EQ(contents(path), old);
    EXPECT_EQ(entries(), QStringList{"short.raw"});
}

// The error a failing call reports.
int injectedError = 0;

// The system's calls, with one of them failing as `call`.
FileCalls failing(const std::string& call)
{
    FileCalls c = systemFileCalls();
    if (call == "write") c.write = [](int, const void*, size_t) -> ssize_t { return errno = injectedError, -1; };
    if (call == "fdatasync") c.fdatasync = [](int) { return errno = injectedError, -1; };
    if (call == "close") c.close = [](int fd) { return ::close(fd), errno = injectedError, -1; };
    if (call == "rename") c.rename = [](const char*, const char*) { return errno = injectedError, -1; };
    if (call == "folder fsync") c.fsync = [](int) { return errno = injectedError, -1; };
    if (call == "create")
        c.open = [](const char* path, int flags, mode_t mode) {
            return flags & O_CREAT ? (errno = injectedError, -1) : ::open(path, flags, mode);
        };
    return c;
}

// No failing call lets the export pass for done, and every failure before the
// rename keeps the previous file whole with nothing beside it.
TEST_F(WriteMapFile, AFailingCallIsReportedAndKeepsThePreviousFile)
{
    struct Row {
        const char* call;
        int err;
        const char* message;
    };
    const Row rows[] = {
        {"write", ENOSPC, "ディスクがいっぱいです"},     {"write", EIO, "I/O エラー (5)"},
        {"fdatasync", EIO, "I/O エラー (5)"},            {"fdatasync", ENOSPC, "ディスクがいっぱいです"},
        {"close", EIO, "I/O エラー (5)"},                {"close", EDQUOT, "I/O エラー (122)"},
        {"rename", EXDEV, "I/O エラー (18)"},            {"create", ENOSPC, "ディスクがいっぱいです"},
    };
    const QString path = pathOf("kept.raw");
    const QByteArray old("the previous export");
    (*map_)[0][0] = 9;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.call) + " " + std::to_string(row.err));
        put(path, old);
        injectedError = row.err;
        EXPECT_EQ(failureOf(path, *map_, false, failing(row.call)), row.message);
        EXPECT_EQ(contents(path), old);
        EXPECT_EQ(entries(), QStringList{"kept.raw"});
    }
    // After the rename the new file is in place, but a folder that did not
    // reach the disk may still bring the old one back: reported all the same.
    injectedError = EIO;
    EXPECT_EQ(failureOf(path, *map_, false, failing("folder fsync")), "I/O エラー (5)");
    EXPECT_EQ(recordAt(contents(path), 0, 0), 9);
    EXPECT_EQ(entries(), QStringList{"kept.raw"});
}

// Names up to the file system's longest replace an existing file as they create a new one.
TEST_F(WriteMapFile, TheLongestNamesAreReplaced)
{
    for (const int length : {249, 255}) {
        const QString path = pathOf(QString(length - 4, 'n') + ".raw");
        put(path, "old");
        (*map_)[1][1] = length;
        EXPECT_EQ(failureOf(path, *map_), "");
        EXPECT_EQ(recordAt(contents(path), 1, 1), length);
        EXPECT_EQ(entries().size(), 1);
        QFile::remove(path);
    }
}

// A folder that takes no new file: a file there that may be written is
// rewritten in place (the same file, links kept); a new one is refused.
TEST_F(WriteMapFile, AWritableFileInAFolderThatTakesNoNewFileIsRewrittenInPlace)
{
    const QString path = pathOf("in-place.raw");
    put(path, QByteArray(300000, 'x'));
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    (*map_)[2][3] = 23;
    injectedError = EACCES;
    EXPECT_EQ(failureOf(path, *map_, false, failing("create")), "");
    const QByteArray bytes = contents(path);
    EXPECT_EQ(bytes.size(), ExportFileBytes);
    EXPECT_EQ(recordAt(bytes, 2, 3), 23);
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

    // The same with the folder's own permissions, for a user they hold for.
    const QString locked = pathOf("locked");
    ASSERT_TRUE(QDir(dir_.path()).mkdir("locked"));
    const QString file = locked + "/open.raw";
    put(file, "old");
    ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0666), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0555), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(dir_.path()).constData(), 0755), 0);
    (*map_)[2][3] = 32;
    EXPECT_EQ(test::asUnprivileged([&] {
                  const std::string replaced = failureOf(file, *map_);
                  const std::string created = failureOf(locked + "/new.raw", *map_);
                  return replaced + "|" + created;
              }),
              "|ファイルへのアクセスが拒否されました");
    EXPECT_EQ(recordAt(contents(file), 2, 3), 32);
    EXPECT_EQ(QDir(locked).entryList(QDir::Files | QDir::Hidden), QStringList{"open.raw"});
    ::chmod(QFile::encodeName(locked).constData(), 0755);
}

}  // namespace
}  // namespace quelby
