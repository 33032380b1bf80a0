#include "engine/core/Failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace {

TEST(FileErrorMessage, EveryCodeHasItsText)
{
    const std::pair<int, const char*> cases[] = {
        {2, "ファイルが見つかりません"},       {3, "ファイル名の指定が間違っています"},
        {4, "オープンしたファイルが多すぎます"}, {5, "ファイルへのアクセスが拒否されました"},
        {100, "ファイルの末尾以降を読み込みました"}, {101, "ディスクがいっぱいです"},
        {106, "入力値が数値ではありません"},   {22, "I/O エラー (22)"},
        {131, "I/O エラー (131)"},
    };
    for (const auto& [code, text] : cases) EXPECT_EQ(quelby::fileErrorMessage(code), text) << code;
}

TEST(FileErrorCode, MapsTheSystemErrorToTheUsersCode)
{
    const auto dir = std::filesystem::temp_directory_path() / "quelby-failure-test";
    std::filesystem::create_directories(dir);
    const std::string inFolder = (dir / "gone.img").string();
    const std::string inMissingFolder = (dir / "nofolder" / "gone.img").string();
    std::ofstream(dir / "plain") << "x";
    const std::string underAFile = (dir / "plain" / "x.img").string();

    EXPECT_EQ(quelby::fileErrorCode(ENOENT, inFolder), 2);
    EXPECT_EQ(quelby::fileErrorCode(ENOENT, inMissingFolder), 3);
    EXPECT_EQ(quelby::fileErrorCode(ENOTDIR, underAFile), 3);
    for (int e : {EMFILE, ENFILE}) EXPECT_EQ(quelby::fileErrorCode(e, inFolder), 4);
    for (int e : {EACCES, EPERM, EROFS}) EXPECT_EQ(quelby::fileErrorCode(e, inFolder), 5);
    EXPECT_EQ(quelby::fileErrorCode(ENOSPC, inFolder), 101);
    EXPECT_EQ(quelby::fileErrorCode(EIO, inFolder), EIO);
    std::filesystem::remove_all(dir);
}

TEST(ThrowFileError, AnErrnoWithoutAMessageOfItsOwnShowsItsNumber)
{
    const std::pair<int, const char*> cases[] = {
        {EACCES, "ファイルへのアクセスが拒否されました"},
        {EIO, "I/O エラー (5)"},      // same number as "access denied", a different condition
        {EINTR, "I/O エラー (4)"},
        {ESRCH, "I/O エラー (3)"},
        {EINVAL, "I/O エラー (22)"},
        {ENOSPC, "ディスクがいっぱいです"},
    };
    for (const auto& [err, text] : cases) {
        try {
            quelby::throwFileError(err, "/tmp/x");
            ADD_FAILURE() << "no failure for " << err;
        } catch (const quelby::Failure& f) {
            EXPECT_STREQ(f.what(), text) << err;
        }
    }
}

TEST(ErrorBoxText, AppendsAFullStopAfterBytesAboveIt)
{
    const std::pair<const char*, const char*> cases[] = {
        {"ゼロによる除算", "ゼロによる除算."},
        {"I/O エラー (22)", "I/O エラー (22)"},
        {"abc", "abc."},
        {"a1", "a1."},
        {"x.", "x."},
        {"x-", "x-"},
        {"x ", "x "},
        {"x!", "x!"},
        {"x/", "x/."},  // "/" sorts just above "."
        {"", ""},
    };
    for (const auto& [message, shown] : cases) EXPECT_EQ(quelby::errorBoxText(message), shown) << message;
}

TEST(ApplicationTitle, IsTheProgramNameUpToItsFirstFullStop)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/quelby", "quelby"},
        {"/opt/Quelby.bin", "Quelby"},
        {"QUELBY", "Quelby"},
        {"/a.b/qUeLbY.tar.gz", "quelby"},
        {"relative/app_Tests", "app_tests"},
    };
    for (const auto& [path, title] : cases) EXPECT_EQ(quelby::applicationTitle(path), title) << path;
}

}  // namespace
