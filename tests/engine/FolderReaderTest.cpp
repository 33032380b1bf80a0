#include "engine/core/Failure.h"
#include "engine/io/FileFailure.h"
#include "engine/io/FolderReader.h"
#include "Unprivileged.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace quelby {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr const char* NotFound = "ファイルが見つかりません";
constexpr const char* WrongPath = "ファイル名の指定が間違っています";
constexpr const char* TooManyOpen = "オープンしたファイルが多すぎます";
constexpr const char* AccessDenied = "ファイルへのアクセスが拒否されました";

class Folder {
public:
    Folder()
    {
        std::string pattern = (fs::temp_directory_path() / "quelby-reader-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~Folder()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    std::string write(const std::string& name, const Bytes& bytes) const
    {
        std::ofstream out(file(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) throw std::runtime_error("write " + name);
        return file(name);
    }

private:
    std::string path_;
};

// `before` bytes of 0xEE, then a full image whose sample at index i is value(i),
// then `after` bytes of 0xDD.
template <class Value>
Bytes imageFile(Value value, std::size_t before = 0, std::size_t after = 0)
{
    Bytes bytes(before, 0xEE);
    for (int i = 0; i < FramePixels; ++i) {
        const auto v = static_cast<std::uint16_t>(value(i));
        bytes.push_back(static_cast<unsigned char>(v & 0xFF));
        bytes.push_back(static_cast<unsigned char>(v >> 8));
    }
    bytes.insert(bytes.end(), after, 0xDD);
    return bytes;
}

Bytes uniformFile(std::int16_t v, std::size_t before = 0)
{
    return imageFile([v](int) { return v; }, before);
}

// Distinct in every pixel: index i gives the 16-bit pattern i + offset.
std::int16_t rampSample(int index, int offset = 0)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(index + offset));
}

Bytes rampFile(int offset = 0)
{
    return imageFile([offset](int i) { return rampSample(i, offset); });
}

// A record of one pass: calls in order ('S' start, 'F' file) and the samples.
struct Pass {
    std::string calls;
    std::vector<std::vector<double>> images;
    bool orderOk = true;
    int next = 0;
};

Pass readPass(const std::string& folder, std::function<void(Pass&)> onStart = {},
              std::function<void(Pass&)> onFile = {})
{
    Pass pass;
    ImageBytesBuffer buffer;
    ReadImageFolder(
        folder, buffer,
        [&] {
            pass.calls += 'S';
            if (onStart) onStart(pass);
        },
        [&](int r, int c, double v) {
            if (pass.next == 0) pass.images.emplace_back();
            if (r * ImageSide + c != pass.next) pass.orderOk = false;
            pass.images.back().push_back(v);
            pass.next = (pass.next + 1) % FramePixels;
        },
        [&] {
            pass.calls += 'F';
            if (onFile) onFile(pass);
        });
    return pass;
}

std::string failureOf(const std::function<void()>& step)
{
    try {
        step();
    } catch (const Failure& f) {
        return f.what();
    }
    return "(no failure)";
}

TEST(FolderReader, TakesTheLastWholeRecordsWhateverComesBefore)
{
    struct Case {
        const char* what;
        std::size_t before;
        std::size_t after;
    };
    const Case cases[] = {
        {"exactly one image", 0, 0},
        {"512-byte header", 512, 0},
        {"odd length: the last byte belongs to no record", 0, 1},
        {"header of 131,070 bytes and an odd byte", 131070, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        folder.write("a.raw", imageFile([](int i) { return rampSample(i, 7); }, c.before, c.after));
        ImageBytesBuffer bytes;
        ReadImageFile(folder.file("a.raw"), bytes);
        for (int i = 0; i < FramePixels; ++i)
            if (sampleAt(bytes, i) != rampSample(i, 7)) FAIL() << "sample " << i << " is " << sampleAt(bytes, i);
    }
}

TEST(FolderReader, AnOddHeaderWithoutTailShiftsTheRecordsByOneByte)
{
    // Records count from the file's first byte: with 131,073 bytes the image is
    // bytes 0 to 131,071, so the first record is the header byte and the image's low byte.
    Folder folder;
    folder.write("a.raw", uniformFile(0x1234, 1));
    ImageBytesBuffer bytes;
    ReadImageFile(folder.file("a.raw"), bytes);
    EXPECT_EQ(sampleAt(bytes, 0), static_cast<std::int16_t>(0x34EE));
    EXPECT_EQ(sampleAt(bytes, 1), static_cast<std::int16_t>(0x3412));
}

TEST(FolderReader, SamplesAreSignedLittleEndian)
{
    struct Case {
        unsigned char low, high;
        double sample;
    };
    const Case cases[] = {{0xFF, 0x7F, 32767}, {0x00, 0x80, -32768}, {0xFF, 0xFF, -1}, {0x01, 0x00, 1}, {0x00, 0x01, 256}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sample);
        Folder folder;
        Bytes bytes(ImageBytes, 0);
        bytes[2 * 300] = c.low;
        bytes[2 * 300 + 1] = c.high;
        folder.write("a", bytes);
        const Pass pass = readPass(folder.path());
        ASSERT_EQ(pass.images.size(), 1u);
        EXPECT_EQ(pass.images[0][300], c.sample);
        EXPECT_EQ(pass.images[0][299], 0.0);
        EXPECT_EQ(pass.images[0][301], 0.0);
    }
}

TEST(FolderReader, HandsOnEverySampleRowByRowTopRowFirst)
{
    Folder folder;
    folder.write("one", rampFile());
    folder.write("two", rampFile(1000));
    const Pass pass = readPass(folder.path());
    EXPECT_EQ(pass.calls, "SFF");
    EXPECT_TRUE(pass.orderOk);
    ASSERT_EQ(pass.images.size(), 2u);
    for (int i = 0; i < FramePixels; ++i) {
        ASSERT_EQ(pass.images[0][i], rampSample(i)) << i;
        ASSERT_EQ(pass.images[1][i], rampSample(i, 1000)) << i;
    }
}

TEST(FolderReader, StartComesOnceBeforeAnyFileAndFileAfterEachFile)
{
    Folder folder;
    for (const char* name : {"a", "b", "c"}) folder.write(name, uniformFile(5));
    std::vector<std::size_t> samplesAtFile;
    std::size_t samplesAtStart = 99;
    const Pass pass = readPass(
        folder.path(), [&](Pass& p) { samplesAtStart = p.images.size(); },
        [&](Pass& p) { samplesAtFile.push_back(p.images.back().size()); });
    EXPECT_EQ(pass.calls, "SFFF");
    EXPECT_EQ(samplesAtStart, 0u);
    EXPECT_EQ(samplesAtFile, std::vector<std::size_t>(3, FramePixels));
}

TEST(FolderReader, AnEmptyFolderStartsButReadsNothing)
{
    Folder folder;
    EXPECT_EQ(CountImageFiles(folder.path()), 0);
    const Pass pass = readPass(folder.path());
    EXPECT_EQ(pass.calls, "S");
}

TEST(FolderReader, LeavesOutHiddenEntriesFoldersAndSpecialFiles)
{
    Folder folder;
    folder.write("image1", uniformFile(1));
    folder.write("image2", uniformFile(2));
    folder.write(".hidden", uniformFile(100));
    fs::create_directory(folder.file("sub"));
    folder.write("sub/inner", uniformFile(200));
    fs::create_directory(folder.file(".hiddenfolder"));
    ASSERT_EQ(::mkfifo(folder.file("fifo").c_str(), 0644), 0);
    fs::create_symlink("sub", folder.file("linkToFolder"));

    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = folder.file("socket");
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    EXPECT_EQ(ListImageFiles(folder.path()), (std::vector<std::string>{"image1", "image2"}));
    EXPECT_EQ(CountImageFiles(folder.path()), 2);
    const Pass pass = readPass(folder.path());
    EXPECT_EQ(pass.calls, "SFF");
    ASSERT_EQ(pass.images.size(), 2u);
    EXPECT_EQ(pass.images[0][0], 1.0);
    EXPECT_EQ(pass.images[1][0], 2.0);
    ::close(sock);
}

TEST(FolderReader, LinksToFilesAreImagesAndDanglingLinksFailLoudly)
{
    Folder folder;
    folder.write(".target", uniformFile(42));
    fs::create_symlink(".target", folder.file("link"));
    EXPECT_EQ(ListImageFiles(folder.path()), std::vector<std::string>{"link"});
    EXPECT_EQ(readPass(folder.path()).images.at(0)[0], 42.0);

    fs::create_symlink("missing", folder.file("zz-dangling"));
    EXPECT_EQ(CountImageFiles(folder.path()), 2);
    EXPECT_EQ(failureOf([&] { readPass(folder.path()); }), NotFound);
}

TEST(FolderReader, ListsNamesCaseInsensitivelyWithTiesByteWise)
{
    Folder folder;
    for (const char* name : {"b", "B", "a10", "A2", "a1", "img_1", "imgA", "Img0", "~x", "0"})
        folder.write(name, uniformFile(1));
    const std::vector<std::string> expected = {"0", "a1", "a10", "A2", "B", "b", "Img0", "img_1", "imgA", "~x"};
    EXPECT_EQ(ListImageFiles(folder.path()), expected);
}

TEST(FolderReader, ReadsTheFilesInListingOrder)
{
    Folder folder;
    folder.write("IMG0003", uniformFile(3));
    folder.write("img0001", uniformFile(1));
    folder.write("Img0002", uniformFile(2));
    const Pass pass = readPass(folder.path());
    ASSERT_EQ(pass.images.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pass.images[i][0], i + 1.0);
}

TEST(FolderReader, MixedSizesEachGiveTheirOwnLastImage)
{
    Folder folder;
    folder.write("a", imageFile([](int i) { return rampSample(i, 1); }, 0, 0));
    folder.write("b", imageFile([](int i) { return rampSample(i, 2); }, 4096, 1));
    folder.write("c", imageFile([](int i) { return rampSample(i, 3); }, 1000000, 0));
    folder.write("d", imageFile([](int i) { return rampSample(i, 4); }, 78, 1));
    const Pass pass = readPass(folder.path());
    ASSERT_EQ(pass.images.size(), 4u);
    for (int f = 0; f < 4; ++f)
        for (int i = 0; i < FramePixels; ++i) ASSERT_EQ(pass.images[f][i], rampSample(i, f + 1)) << f << " " << i;
}

TEST(FolderReader, AFileShorterThanAnImageFailsBeforeAnyOfItsSamples)
{
    Folder folder;
    folder.write("a", uniformFile(1));
    folder.write("b", Bytes(ImageBytes - 2, 0x11));
    folder.write("c", uniformFile(3));
    std::string calls;
    int samples = 0;
    const std::string message = failureOf([&] {
        ImageBytesBuffer buffer;
        ReadImageFolder(
            folder.path(), buffer, [&] { calls += 'S'; }, [&](int, int, double) { ++samples; }, [&] { calls += 'F'; });
    });
    EXPECT_EQ(message, "I/O エラー (22)");
    EXPECT_EQ(calls, "SF");
    EXPECT_EQ(samples, FramePixels);
    for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{ImageBytes - 1}}) {
        folder.write("x", Bytes(length, 0));
        EXPECT_EQ(failureOf([&] {
                      ImageBytesBuffer bytes;
                      ReadImageFile(folder.file("x"), bytes);
                  }),
                  "I/O エラー (22)")
            << length;
    }
}

TEST(FolderReader, AReadOnlyImageIsMeasured)
{
    Folder folder;
    const std::string path = folder.write("a", uniformFile(-7));
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    const Pass pass = readPass(folder.path());
    ASSERT_EQ(pass.images.size(), 1u);
    EXPECT_EQ(pass.images[0][FramePixels - 1], -7.0);
}

TEST(FolderReader, AFileThatEvenRootMayNotWriteIsMeasured)
{
    // A running program may not be opened for writing, not even by root.
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const int writable = ::open(self.c_str(), O_WRONLY | O_CLOEXEC);
    if (writable >= 0) ::close(writable);
    if (writable >= 0 || errno != ETXTBSY) GTEST_SKIP() << "this system lets a running program be written";
    const auto size = static_cast<std::int64_t>(fs::file_size(self));
    ASSERT_GE(size, ImageBytes);
    Bytes tail(ImageBytes);
    std::ifstream in(self, std::ios::binary);
    in.seekg(2 * (size / 2) - ImageBytes);
    ASSERT_TRUE(in.read(reinterpret_cast<char*>(tail.data()), ImageBytes));

    ImageBytesBuffer bytes;
    ReadImageFile(self, bytes);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), tail.begin()));
}

// Permissions do not hold for root, so these run as an unprivileged user.
TEST(FolderReader, AnUnreadableImageIsRefused)
{
    Folder folder;
    ASSERT_EQ(::chmod(folder.path().c_str(), 0755), 0);
    const std::string path = folder.write("a", uniformFile(1));
    ASSERT_EQ(::chmod(path.c_str(), 0000), 0);
    EXPECT_EQ(test::asUnprivileged([&] { return failureOf([&] { readPass(folder.path()); }); }), AccessDenied);
}

TEST(FolderReader, AFolderThatMayNotBeListedIsRefused)
{
    Folder folder;
    ASSERT_EQ(::chmod(folder.path().c_str(), 0755), 0);
    const std::string sub = folder.file("locked");
    fs::create_directory(sub);
    ASSERT_EQ(::chmod(sub.c_str(), 0000), 0);
    EXPECT_EQ(test::asUnprivileged([&] { return failureOf([&] { CountImageFiles(sub); }); }), AccessDenied);
    ::chmod(sub.c_str(), 0755);
}

TEST(FolderReader, AFileRemovedAfterTheListingIsNotFound)
{
    struct Case {
        const char* what;
        bool fromStart;
    };
    for (const Case& c : {Case{"removed at start", true}, Case{"removed after the previous file", false}}) {
        SCOPED_TRACE(c.what);
        Folder folder;
        folder.write("a", uniformFile(1));
        folder.write("b", uniformFile(2));
        std::string calls;
        const auto removeB = [&] { fs::remove(folder.file("b")); };
        const std::string message = failureOf([&] {
            ImageBytesBuffer buffer;
            ReadImageFolder(
                folder.path(), buffer,
                [&] {
                    calls += 'S';
                    if (c.fromStart) removeB();
                },
                [](int, int, double) {},
                [&] {
                    calls += 'F';
                    if (!c.fromStart) removeB();
                });
        });
        EXPECT_EQ(message, NotFound);
        EXPECT_EQ(calls, "SF");
    }
}

TEST(FolderReader, AFolderRemovedAfterTheListingIsAWrongPath)
{
    Folder folder;
    const std::string series = folder.file("series");
    fs::create_directory(series);
    folder.write("series/a", uniformFile(1));
    folder.write("series/b", uniformFile(2));
    std::string calls;
    const std::string message = failureOf([&] {
        ImageBytesBuffer buffer;
        ReadImageFolder(
            series, buffer, [&] { calls += 'S'; }, [](int, int, double) {},
            [&] {
                calls += 'F';
                fs::remove_all(series);
            });
    });
    EXPECT_EQ(message, WrongPath);
    EXPECT_EQ(calls, "SF");
}

TEST(FolderReader, AFolderThatCannotBeListedFailsAsAWrongPath)
{
    Folder folder;
    folder.write("plain", uniformFile(1));
    struct Case {
        const char* what;
        std::string path;
    };
    const Case cases[] = {
        {"missing folder", folder.file("missing")},
        {"missing parent too", folder.file("missing/deeper")},
        {"a file, not a folder", folder.file("plain")},
        {"below a file", folder.file("plain/x")},
        {"empty path", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(failureOf([&] { CountImageFiles(c.path); }), WrongPath);
        bool started = false;
        EXPECT_EQ(failureOf([&] {
                      ImageBytesBuffer buffer;
                      ReadImageFolder(c.path, buffer, [&] { started = true; }, [](int, int, double) {}, [] {});
                  }),
                  WrongPath);
        EXPECT_FALSE(started);
    }
}

TEST(FolderReader, PathsJoinTheFolderAsGiven)
{
    EXPECT_EQ(ImageFilePath("/data/series", "img1"), "/data/series/img1");
    EXPECT_EQ(ImageFilePath("/data/series/", "img1"), "/data/series//img1");
    Folder folder;
    folder.write("a", uniformFile(9));
    EXPECT_EQ(readPass(folder.path() + "/").images.at(0)[0], 9.0);
}

// Lowers the open-file limit to what is in use now, for the life of the object.
class OpenFileLimit {
public:
    OpenFileLimit()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = 64;
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held_.push_back(fd);
    }
    ~OpenFileLimit()
    {
        for (int fd : held_) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    OpenFileLimit(const OpenFileLimit&) = delete;
    OpenFileLimit& operator=(const OpenFileLimit&) = delete;

private:
    rlimit saved_{};
    std::vector<int> held_;
};

TEST(FolderReader, TooManyOpenFiles)
{
    Folder folder;
    folder.write("a", uniformFile(1));
    // UBSan's first type check of each failure class opens /proc/self/maps; do them while descriptors remain.
    EXPECT_EQ(failureOf([] { throw Failure::file(4); }), TooManyOpen);
    EXPECT_EQ(failureOf([] { throw FileFailure(EMFILE, "a"); }), TooManyOpen);
    const OpenFileLimit limit;
    EXPECT_EQ(failureOf([&] { CountImageFiles(folder.path()); }), TooManyOpen);
    EXPECT_EQ(failureOf([&] {
                  ImageBytesBuffer bytes;
                  ReadImageFile(folder.file("a"), bytes);
              }),
              TooManyOpen);
}

TEST(FolderReader, ReadsImagesBeyondFourGibibytes)
{
    Folder folder;
    const std::string path = folder.file("big.raw");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    // 4 GiB + 2 bytes of (sparse) header, the image, one odd byte: a size cut
    // to 32 bits would put the image at byte 2.
    const std::int64_t header = (std::int64_t{1} << 32) + 2;
    ASSERT_EQ(::ftruncate(fd, header), 0) << "the temporary folder must allow sparse files";
    const Bytes image = imageFile([](int i) { return rampSample(i, 12345); }, 0, 1);
    ASSERT_EQ(::pwrite(fd, image.data(), image.size(), header), static_cast<ssize_t>(image.size()));
    ASSERT_EQ(::close(fd), 0);

    const Pass pass = readPass(folder.path());
    ASSERT_EQ(pass.images.size(), 1u);
    for (int i = 0; i < FramePixels; ++i) ASSERT_EQ(pass.images[0][i], rampSample(i, 12345)) << i;
}

}  // namespace
}  // namespace quelby
