#include "engine/io/DicomImage.h"
#include "DicomSeries.h"
#include "engine/core/Failure.h"
#include "run/MeasurementRun.h"
#include "NoRunView.h"
#include "ReferenceMaps.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace quelby;
using quelby::test::TempFolder;

namespace {

using Samples = std::vector<std::int32_t>;

// Three repetitions with a different value at every pixel, around `base`.
std::vector<Samples> repetitions(std::int32_t base, std::int32_t spread)
{
    std::vector<Samples> files(3, Samples(FramePixels));
    for (int i = 0; i < 3; ++i)
        for (int p = 0; p < FramePixels; ++p) files[i][p] = base + ((p * 7 + i * 13 + p / 256) % spread) - spread / 2;
    return files;
}

// Whether a window map holds the reference values, bit for bit.
bool sameBits(const Map& map, const std::vector<double>& expected)
{
    return std::memcmp(map[0].data(), expected.data(), sizeof(Map)) == 0;
}

bool sameBits(const Map& a, const Map& b) { return std::memcmp(&a, &b, sizeof(Map)) == 0; }

class DicomSeriesTest : public ::testing::Test {
protected:
    // Runs SeriesA alone; the failure message, or "".
    std::string run(const std::string& folder)
    {
        test::NoRunView view;
        try {
            MeasurementRun(RunInputs{"60", "20", "2", false, folder, folder}, *store, view);
        } catch (const Failure& f) {
            return f.what();
        }
        return "";
    }

    std::string dicomSeries(const std::string& name, const DicomLayout& layout, const std::vector<Samples>& files)
    {
        const std::string dir = tmp.sub(name);
        for (std::size_t i = 0; i < files.size(); ++i)
            writeDicomImage(dir + "/IM_000" + std::to_string(i + 1) + ".dcm", layout, files[i]);
        return dir;
    }

    TempFolder tmp;
    std::unique_ptr<MapStore> store = std::make_unique<MapStore>();
};

// The series a scanner writes, each measured from its decoded pixel data.
TEST_F(DicomSeriesTest, ScannerSeriesGiveTheMapsOfTheirStoredValues)
{
    struct Row {
        const char* name;
        DicomLayout layout;
        std::int32_t base, spread;
    };
    const auto layout = [](const char* syntax, bool isSigned, int padding = 0) {
        DicomLayout l;
        l.transferSyntax = syntax;
        l.isSigned = isSigned;
        l.trailingPadding = padding;
        return l;
    };
    const Row rows[] = {
        {"explicit little endian, signed", layout(ts::ExplicitLittle, true), -200, 401},
        {"implicit little endian, unsigned below 32768", layout(ts::ImplicitLittle, false), 1000, 97},
        {"unsigned above 32767", layout(ts::ExplicitLittle, false), 60000, 11000},
        {"trailing padding", layout(ts::ExplicitLittle, false, 376), 1000, 97},
        {"explicit big endian", layout(ts::ExplicitBig, true), 1000, 2001},
        {"RLE", layout(ts::Rle, false), 50000, 301},
        {"deflated", layout(ts::Deflated, true), 1000, 97},
        {"JPEG lossless", layout(ts::JpegLossless, false), 40000, 301},
        {"JPEG-LS", layout(ts::JpegLsLossless, false), 40000, 301},
        {"JPEG 2000", layout(ts::Jpeg2000Lossless, true), -1000, 301},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<Samples> files = repetitions(row.base, row.spread);
        ASSERT_EQ(run(dicomSeries(row.name, row.layout, files)), "");
        const test::ReferenceMaps expected = test::referenceMaps(files);
        EXPECT_TRUE(sameBits(store->SignalMapA, expected.signal));
        EXPECT_TRUE(sameBits(store->NoiseMapA, expected.noise));
        EXPECT_EQ(store->RepImageA[3][5], files.back()[3 * 256 + 5]);
        EXPECT_EQ(store->RepImageA[255][255], files.back()[FramePixels - 1]);
    }
}

// Files of both pixel representations in one series, which the run takes in
// separate groups.
TEST_F(DicomSeriesTest, SignedAndUnsignedFilesMayAlternate)
{
    std::vector<Samples> files;
    for (int k = 0; k < 4; ++k)
        for (Samples& f : repetitions(1000 + 100 * k, 301)) files.push_back(std::move(f));
    const std::string dir = tmp.sub("mixed");
    for (std::size_t i = 0; i < files.size(); ++i) {
        DicomLayout layout;
        layout.isSigned = i % 3 == 0;
        writeDicomImage(dir + "/IM_" + std::to_string(100 + i), layout, files[i]);
    }
    ASSERT_EQ(run(dir), "");
    const test::ReferenceMaps expected = test::referenceMaps(files);
    EXPECT_TRUE(sameBits(store->SignalMapA, expected.signal));
    EXPECT_TRUE(sameBits(store->NoiseMapA, expected.noise));
}

// A raw series and a DICOM series of the same samples give the same maps, bit for bit.
TEST_F(DicomSeriesTest, TheRawRuleIsUnchanged)
{
    const std::vector<Samples> files = repetitions(-30000, 60001);
    const std::string raw = tmp.sub("raw");
    for (std::size_t i = 0; i < files.size(); ++i)
        quelby::test::writeImage(
            raw + "/" + std::to_string(i), [&](int r, int c) { return static_cast<std::int16_t>(files[i][r * 256 + c]); },
            512);
    ASSERT_EQ(run(raw), "");
    const auto rawStore = std::make_unique<MapStore>(*store);
    ASSERT_EQ(run(dicomSeries("dicom", DicomLayout{}, files)), "");
    for (const int k : {RepImageAIndex, SignalMapAIndex, NoiseMapAIndex, SnrMapAIndex})
        EXPECT_TRUE(sameBits(store->resultMap(k), rawStore->resultMap(k))) << MapListText[k];
}

// What the window cannot measure is refused by the name of the file, and no
// stray file is ever taken for an image.
TEST_F(DicomSeriesTest, UnmeasurableFilesAreRefusedByName)
{
    const std::vector<Samples> good = repetitions(1000, 97);
    const auto withFile = [&](const std::string& name, const std::function<void(const std::string&)>& write) {
        const std::string dir = dicomSeries(name + "-series", DicomLayout{}, {good[0], good[1]});
        write(dir + "/" + name);
        return dir;
    };
    const auto image = [](int rows, int columns, int frames, int samples, int bits) {
        return [=](const std::string& path) {
            DicomLayout l;
            l.rows = rows;
            l.columns = columns;
            l.frames = frames;
            l.samplesPerPixel = samples;
            l.bitsAllocated = bits;
            l.isSigned = false;
            writeDicomImage(path, l, Samples(static_cast<std::size_t>(rows * columns * frames * samples), 100));
        };
    };
    const auto bytes = [](std::vector<char> content) {
        return [content](const std::string& path) {
            std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        };
    };
    std::vector<char> fakeDicom(200'000, 'x');
    std::fill_n(fakeDicom.begin(), 128, 0);
    std::copy_n("DICM", 4, fakeDicom.begin() + 128);

    struct Row {
        std::string file;
        std::function<void(const std::string&)> write;
        std::string message;
    };
    const Row rows[] = {
        {"IM_0003.dcm", image(512, 512, 1, 1, 16), "IM_0003.dcm: 512 × 512 の画像は測定できません (256 × 256 のみ)"},
        {"IM_0003.dcm", image(192, 256, 1, 1, 16), "IM_0003.dcm: 256 × 192 の画像は測定できません (256 × 256 のみ)"},
        {"multi.dcm", image(256, 256, 3, 1, 16), "multi.dcm: 3 フレームの画像は測定できません (1 フレームのみ)"},
        {"byte.dcm", image(256, 256, 1, 1, 8),
         "byte.dcm: 1 サンプル 8 ビットの画像は測定できません (16 ビットのグレースケールのみ)"},
        {"rgb.dcm", image(256, 256, 1, 3, 8),
         "rgb.dcm: 3 サンプル 8 ビットのカラー画像は測定できません (16 ビットのグレースケールのみ)"},
        {"mpeg.dcm", [](const std::string& p) { writeEncapsulatedDicom(p, "1.2.840.10008.1.2.4.100"); },
         "mpeg.dcm: 転送構文 1.2.840.10008.1.2.4.100 の画素データは復号できません"},
        {"fake.dcm", bytes(fakeDicom), "fake.dcm: DICOM ファイルが壊れているか途中で切れています"},
        {"DICOMDIR", writeDicomWithoutImage, "DICOMDIR: 画像を含まない DICOM ファイルです"},
        {"stray.bin", bytes(std::vector<char>(200'000, 1)),
         "stray.bin: DICOM 画像ではありません (DICOM の系列に混ざっています)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(run(withFile(row.file, row.write)), row.message);
    }

    // Cut inside the pixel data, inside the header, and just after the prefix.
    for (const std::uintmax_t keep : {100'000u, 300u, 132u}) {
        SCOPED_TRACE(keep);
        const std::string dir = dicomSeries("cut" + std::to_string(keep), DicomLayout{}, good);
        std::filesystem::resize_file(dir + "/IM_0002.dcm", keep);
        EXPECT_EQ(run(dir), "IM_0002.dcm: DICOM ファイルが壊れているか途中で切れています");
    }
}

// A file cut anywhere, in every encoding, is refused without bringing the
// process down: the library would abort on some of these.
TEST(DicomImage, AFileCutAnywhereIsRefused)
{
    TempFolder tmp;
    const Samples samples = repetitions(1000, 97)[0];
    for (const char* syntax : {ts::ExplicitLittle, ts::ImplicitLittle, ts::ExplicitBig, ts::Deflated, ts::Rle,
                               ts::JpegLsLossless, ts::Jpeg2000Lossless}) {
        SCOPED_TRACE(syntax);
        DicomLayout layout;
        layout.transferSyntax = syntax;
        layout.trailingPadding = 6;
        const std::string path = tmp.str() + "/image.dcm";
        writeDicomImage(path, layout, samples);
        std::ifstream in(path, std::ios::binary);
        const std::vector<unsigned char> whole{std::istreambuf_iterator<char>(in), {}};
        std::vector<unsigned char> out(2 * FramePixels);
        DicomImage(whole).decodePixels(out);
        int refused = 0, cuts = 0;
        for (std::size_t keep = 0; keep < whole.size(); keep += keep < 2048 ? 1 : 997, ++cuts) {
            try {
                const DicomImage image(std::span<const unsigned char>(whole).first(keep));
                image.decodePixels(out);
            } catch (const DicomError&) {
                ++refused;
            }
        }
        EXPECT_EQ(refused, cuts);
    }
}

// Bytes changed anywhere in the header, in every kind of encoding: the file
// is decoded or refused, and the process lives on (the library aborts on some).
TEST(DicomImage, AFileDamagedInItsHeaderIsDecodedOrRefused)
{
    TempFolder tmp;
    const Samples samples = repetitions(1000, 97)[0];
    std::mt19937 rng(11);
    for (const char* syntax : {ts::ExplicitLittle, ts::ExplicitBig, ts::Deflated, ts::Rle, ts::JpegLsLossless}) {
        SCOPED_TRACE(syntax);
        DicomLayout layout;
        layout.transferSyntax = syntax;
        const std::string path = tmp.str() + "/image.dcm";
        writeDicomImage(path, layout, samples);
        std::ifstream in(path, std::ios::binary);
        const std::vector<unsigned char> whole{std::istreambuf_iterator<char>(in), {}};
        std::vector<unsigned char> out;
        int decoded = 0, refused = 0;
        for (int trial = 0; trial < 150; ++trial) {
            std::vector<unsigned char> damaged = whole;
            for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k)
                damaged[132 + rng() % std::min<std::size_t>(900, whole.size() - 132)] = static_cast<unsigned char>(rng());
            try {
                const DicomImage image(damaged);
                out.resize(image.pixelBytes());
                image.decodePixels(out);
                ++decoded;
            } catch (const DicomError&) {
                ++refused;
            }
        }
        EXPECT_EQ(decoded + refused, 150);
        EXPECT_GT(refused, 0);
    }
}

}  // namespace
