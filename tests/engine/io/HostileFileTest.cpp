#include "DicomSeries.h"
#include "TempFolder.h"
#include "engine/io/DicomImage.h"
#include "qa/MeasureProgram.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <unistd.h>

using namespace quelby;
using quelby::test::TempFolder;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void put16(Bytes& b, std::size_t at, unsigned v)
{
    b[at] = static_cast<unsigned char>(v & 0xFF);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}

void append32(Bytes& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// Where the explicit VR little endian element (group, element) of the data set begins.
std::size_t elementAt(const Bytes& b, std::uint16_t group, std::uint16_t element)
{
    const unsigned char tag[] = {static_cast<unsigned char>(group & 0xFF), static_cast<unsigned char>(group >> 8),
                                 static_cast<unsigned char>(element & 0xFF), static_cast<unsigned char>(element >> 8)};
    for (auto at = std::search(b.begin() + 132, b.end(), tag, tag + 4); at != b.end();
         at = std::search(at + 1, b.end(), tag, tag + 4))
        if (at + 6 <= b.end() && std::isupper(at[4]) && std::isupper(at[5])) return static_cast<std::size_t>(at - b.begin());
    throw std::runtime_error("no such element");
}

// Sequences nested `depth` deep, each of one item of undefined length.
Bytes nestedSequences(int depth)
{
    Bytes b;
    for (int d = 0; d < depth; ++d) {
        b.insert(b.end(), {0x40, 0x00, 0x30, 0xA7, 'S', 'Q', 0, 0});
        append32(b, 0xFFFFFFFF);
        b.insert(b.end(), {0xFE, 0xFF, 0x00, 0xE0});
        append32(b, 0xFFFFFFFF);
    }
    for (int d = 0; d < depth; ++d) {
        b.insert(b.end(), {0xFE, 0xFF, 0x0D, 0xE0, 0, 0, 0, 0});
        b.insert(b.end(), {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0});
    }
    return b;
}

// A deflated file whose data set inflates to `padding` more bytes of zeros, in a trailing padding element.
void inflateBeyond(Bytes& file, std::uint32_t padding)
{
    std::size_t at = 132;  // past the meta information, explicit VR little endian
    while (file[at] == 0x02 && file[at + 1] == 0) {
        const bool longForm = file[at + 4] == 'O' || file[at + 4] == 'U';
        at += longForm ? 12 + (file[at + 8] | file[at + 9] << 8) : 8 + (file[at + 6] | file[at + 7] << 8);
    }
    Bytes dataSet(1 << 20);
    z_stream in{};
    inflateInit2(&in, -MAX_WBITS);
    in.next_in = file.data() + at;
    in.avail_in = static_cast<uInt>(file.size() - at);
    in.next_out = dataSet.data();
    in.avail_out = static_cast<uInt>(dataSet.size());
    ASSERT_EQ(inflate(&in, Z_FINISH), Z_STREAM_END);
    dataSet.resize(in.total_out);
    inflateEnd(&in);
    dataSet.insert(dataSet.end(), {0xFC, 0xFF, 0xFC, 0xFF, 'O', 'B', 0, 0});
    append32(dataSet, padding);
    file.resize(at);
    z_stream out{};
    deflateInit2(&out, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    const Bytes zeros(1 << 20, 0);
    Bytes chunk(1 << 16);
    const auto feed = [&](const Bytes& bytes, std::size_t count, int flush) {
        out.next_in = const_cast<unsigned char*>(bytes.data());
        out.avail_in = static_cast<uInt>(count);
        do {
            out.next_out = chunk.data();
            out.avail_out = static_cast<uInt>(chunk.size());
            deflate(&out, flush);
            file.insert(file.end(), chunk.begin(), chunk.end() - out.avail_out);
        } while (out.avail_out == 0);
    };
    feed(dataSet, dataSet.size(), Z_NO_FLUSH);
    for (std::uint32_t left = padding; left > 0; left -= std::min<std::uint32_t>(left, 1 << 20))
        feed(zeros, std::min<std::uint32_t>(left, 1 << 20), left <= (1u << 20) ? Z_FINISH : Z_NO_FLUSH);
    deflateEnd(&out);
}

// What the process writes to its standard error, the library's child included, while `step` runs.
std::string standardErrorOf(const std::string& path, const std::function<void()>& step)
{
    const int into = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(into, STDERR_FILENO);
    step();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(into);
    const Bytes bytes = fileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::int32_t> noise(int count, int seed)
{
    std::vector<std::int32_t> samples(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) samples[static_cast<std::size_t>(i)] = 1000 + (i * 7919 + seed * 104729) % 61 - 30;
    return samples;
}

// One damaged file among three sound repetitions of an 8 × 8 series: each is
// refused by name, within bounded memory, or read as what it is.
TEST(HostileFiles, DamagedFilesAreRefusedByNameAndSoundOnesRead)
{
    struct Row {
        const char* what;
        std::function<void(DicomLayout&)> layout;
        std::function<void(Bytes&)> damage;
        int status;
        std::string says;  // on standard error
        bool brokenImage;  // the window's DicomImage refuses it too
    };
    const auto none = [](Bytes&) {};
    const auto rle = [](DicomLayout& l) { l.transferSyntax = ts::Rle; };
    const auto patch = [](std::uint16_t element, unsigned value) {
        return [=](Bytes& b) { put16(b, elementAt(b, 0x0028, element) + 8, value); };
    };
    const auto renameTo = [](std::uint16_t group, std::uint16_t element, unsigned newElement) {
        return [=](Bytes& b) { put16(b, elementAt(b, group, element) + 2, newElement); };
    };
    const auto twoFrames = [](DicomLayout& l) { l.frames = 2; };
    // Number of Frames of a file of two frames given as `text` (the library writes its own).
    const auto framesAs = [](const std::string& given) {
        return [=](Bytes& b) {
            const std::string text = given.size() % 2 ? given + ' ' : given;
            const std::size_t at = elementAt(b, 0x0028, 0x0008);
            const std::size_t length = b[at + 6] | b[at + 7] << 8;
            b.erase(b.begin() + static_cast<std::ptrdiff_t>(at + 8), b.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
            b.insert(b.begin() + static_cast<std::ptrdiff_t>(at + 8), text.begin(), text.end());
            put16(b, at + 6, static_cast<unsigned>(text.size()));
        };
    };
    const auto nest = [](int depth) {
        return [=](Bytes& b) {
            const Bytes levels = nestedSequences(depth);
            b.insert(b.begin() + static_cast<std::ptrdiff_t>(elementAt(b, 0x7FE0, 0x0010)), levels.begin(), levels.end());
        };
    };
    const Row rows[] = {
        {"65535 x 65535 claimed", {}, [&](Bytes& b) { patch(0x0010, 65535)(b); patch(0x0011, 65535)(b); }, 2,
         "IM_bad: pixel data of 128 bytes, where 65535 x 65535 x 1 frames", true},
        {"65535 x 65535 claimed, RLE", rle, [&](Bytes& b) { patch(0x0010, 65535)(b); patch(0x0011, 65535)(b); }, 2,
         "IM_bad: an image of 8589672450 bytes from pixel data of", true},
        {"deflated beyond its ceiling", [](DicomLayout& l) { l.transferSyntax = ts::Deflated; },
         [](Bytes& b) { inflateBeyond(b, (256u << 20) + 4096); }, 2, "IM_bad: a truncated or corrupt DICOM file", true},
        {"16777216 frames", twoFrames, framesAs("16777216"), 2,
         "IM_bad: pixel data of 256 bytes, where 8 x 8 x 16777216", true},
        {"16777216 frames, RLE", [&](DicomLayout& l) { rle(l); twoFrames(l); }, framesAs("16777216"), 2,
         "IM_bad: 16777216 frames, but its pixel data holds 2 fragments", true},
        {"a million frames of one byte", [&](DicomLayout& l) { l.rows = l.columns = 1; l.bitsAllocated = 8; twoFrames(l); },
         [&](Bytes& b) {
             framesAs("1048576")(b);
             const std::size_t at = elementAt(b, 0x7FE0, 0x0010);
             b.resize(at + 12 + (1 << 20), 0);
             for (int i = 0; i < 4; ++i) b[at + 8 + static_cast<std::size_t>(i)] = i == 2 ? 0x10 : 0;
         },
         2, "IM_bad: 1048576 frames, more than can be held", false},
        {"cut before its pixel data", {}, [](Bytes& b) { b.resize(elementAt(b, 0x7FE0, 0x0010)); }, 2,
         "IM_bad: no pixel data", true},
        {"Pixel Data tag flipped", {}, renameTo(0x7FE0, 0x0010, 0x1000), 2, "IM_bad: no pixel data", true},
        {"a bad Rows length", {}, [](Bytes& b) { put16(b, elementAt(b, 0x0028, 0x0010) + 6, 4); }, 2,
         "IM_bad: a truncated or corrupt DICOM file", true},
        {"empty pixel data", {}, [](Bytes& b) { b.resize(elementAt(b, 0x7FE0, 0x0010) + 12, 0); std::fill(b.end() - 4, b.end(), 0); },
         2, "IM_bad: pixel data of 0 bytes", true},
        {"Bits Allocated 8 on 16-bit data", {}, patch(0x0100, 8), 2,
         "IM_bad: pixel data of 128 bytes, where 8 x 8 x 1 frames of 1 x 8 bits take 64", true},
        {"Number of Frames 1 on two frames", twoFrames, framesAs("1"), 2, "IM_bad: pixel data of 256 bytes", true},
        {"Number of Frames missing on two frames", twoFrames, renameTo(0x0028, 0x0008, 0x0007), 2,
         "IM_bad: pixel data of 256 bytes", true},
        {"Number of Frames unreadable", twoFrames, framesAs("two"), 2,
         "IM_bad: an unreadable Number of Frames (0028,0008)", true},
        {"Number of Frames 1 on two RLE frames", [&](DicomLayout& l) { rle(l); twoFrames(l); }, framesAs("1"), 2,
         "IM_bad: 1 frames, but 2 fragments of its pixel data open one", true},
        {"Number of Frames 1 on two JPEG-LS frames",
         [&](DicomLayout& l) { l.transferSyntax = ts::JpegLsLossless; twoFrames(l); }, framesAs("1"), 2,
         "IM_bad: 1 frames, but 2 fragments of its pixel data open one", true},
        {"no Pixel Representation", {}, renameTo(0x0028, 0x0103, 0x0104), 2,
         "IM_bad: no Pixel Representation (0028,0103)", true},
        {"a damaged Series UID", [](DicomLayout& l) { l.seriesUid = "1.2.3.9"; }, none, 2,
         "\n  series (1.2.3.9) in IM_bad alone: 1 slices x 1 repetitions", false},
        {"sequences nested 40 deep", {}, nest(40), 0, "", false},
        {"sequences nested 200 deep", {}, nest(200), 2, "IM_bad: a truncated or corrupt DICOM file", true},
        {"not DICOM", {}, [](Bytes& b) { b.assign(200, 'x'); }, 0, "IM_bad skipped: not a DICOM file", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempFolder tmp;
        const std::string folder = tmp.sub("series");
        DicomLayout sound;
        sound.rows = sound.columns = 8;
        sound.seriesUid = "1.2.3";
        for (int k = 0; k < 3; ++k) {
            sound.instanceNumber = k + 1;
            writeDicomImage(folder + "/IM_" + std::to_string(k), sound, noise(64, k));
        }
        DicomLayout bad = sound;
        bad.instanceNumber = 4;
        if (row.layout) row.layout(bad);
        const std::string path = folder + "/IM_bad";
        writeDicomImage(path, bad, noise(bad.rows * bad.columns * bad.frames, 9));
        Bytes bytes = fileBytes(path);
        row.damage(bytes);
        writeBytes(path, bytes);

        std::ostringstream out, err;
        int status = -1;
        const std::string leaked = standardErrorOf(tmp.str() + "/stderr", [&] {
            status = runMeasure({"quelby-measure", folder, "--roi", "rect:0,0,7,7", "-o", tmp.str() + "/out"}, out, err);
        });
        const std::string said = err.str();
        EXPECT_EQ(status, row.status) << said;
        EXPECT_NE(said.find(row.says), std::string::npos) << said;
        EXPECT_EQ(leaked, "");
        if (row.status == 2) {
            std::size_t lines = 0;
            for (std::size_t at = said.find("quelby-measure:"); at != std::string::npos;
                 at = said.find("quelby-measure:", at + 1))
                ++lines;
            EXPECT_EQ(lines, 1u) << said;
        }
        if (row.brokenImage) {
            EXPECT_THROW(DicomImage{bytes}, DicomError);
        }
    }
}


// The library aborts on frame positions given without an orientation; what it
// asserts stays in its child, and the file is refused.
TEST(HostileFiles, TheLibrarysAbortsStayOffStandardError)
{
    TempFolder tmp;
    DicomLayout layout;
    layout.rows = layout.columns = 8;
    layout.transferSyntax = ts::Rle;
    layout.enhanced = true;
    layout.frames = 2;
    layout.pixelSpacing = "0.9\\0.8";
    layout.rescaleSlope = 1.5;
    layout.temporalPositions = {2, 1};
    layout.stackPositions = {1, 1};
    layout.framePositions = {"0\\0\\0", "0\\0\\5"};
    layout.frameIntercepts = {0, -1};
    const std::string path = tmp.str() + "/enhanced.dcm";
    writeDicomImage(path, layout, noise(128, 1));
    const Bytes bytes = fileBytes(path);
    std::optional<DicomProblem> problem;
    const std::string leaked = standardErrorOf(tmp.str() + "/stderr", [&] {
        try {
            DicomImage image(bytes);
        } catch (const DicomError& e) {
            problem = e.problem();
        }
    });
    EXPECT_EQ(problem, DicomProblem::Corrupt);
    EXPECT_EQ(leaked, "");
}

}  // namespace
