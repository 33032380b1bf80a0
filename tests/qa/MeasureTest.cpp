#include "DicomSeries.h"
#include "MeasureRun.h"
#include "qa/MeasureProgram.h"
#include "run/MeasurementRun.h"
#include "NoRunView.h"
#include "ReferenceMaps.h"
#include "engine/core/InputError.h"
#include "engine/io/DicomStacks.h"
#include "engine/series/StackMeasurement.h"
#include "TempFolder.h"

#include <nifti1_io.h>

#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

using namespace quelby;
using quelby::test::TempFolder;
using namespace quelby::test;

namespace {

// Repetitions of a width × height image whose value differs at every pixel.
std::vector<Frame> repetitions(int pixels, int count, std::int32_t base, std::int32_t spread)
{
    std::vector<Frame> frames(static_cast<std::size_t>(count), Frame(static_cast<std::size_t>(pixels)));
    for (int k = 0; k < count; ++k)
        for (int p = 0; p < pixels; ++p)
            frames[static_cast<std::size_t>(k)][static_cast<std::size_t>(p)] =
                base + (p * 7 + k * 13 + p / 97) % spread - spread / 2;
    return frames;
}

// The stack a folder or file holds, as the command chooses it without selectors.
Stack onlyStack(const SeriesSource& source)
{
    std::vector<std::string> warnings;
    return source.format == SeriesSource::Format::Dicom ? chooseStack(source, {}, warnings) : source.stacks.at(0);
}

// The maps of every slice of what `path` holds.
StackMaps stackMapsOf(const std::string& path, const RawLayout& raw = {}, bool rescale = true)
{
    const SeriesSource source = openSeriesSource(path, raw);
    ImageReader reader(source);
    const ImageSupplier supply = [&](const ImageRef& image, std::span<unsigned char> into) {
        return reader.read(image, into);
    };
    return measureStack(onlyStack(source), supply, rescale);
}

SliceMaps mapsOf(const std::string& path, const RawLayout& raw = {}, bool rescale = true)
{
    return stackMapsOf(path, raw, rescale).slices.at(0);
}

void expectMapsOf(const std::vector<Frame>& frames, const SliceMaps& maps)
{
    const test::ReferenceMaps expected = test::referenceMaps(frames);
    ASSERT_EQ(maps.signal.size(), expected.signal.size());
    for (std::size_t p = 0; p < expected.signal.size(); ++p) {
        ASSERT_EQ(maps.signal[p], expected.signal[p]) << "pixel " << p;
        ASSERT_EQ(maps.noise[p], expected.noise[p]) << "pixel " << p;
    }
}

class MeasureTest : public ::testing::Test {
protected:
    // Writes one DICOM file per frame (or one enhanced file), numbered in order.
    std::string dicomSeries(const std::string& name, DicomLayout layout, const std::vector<Frame>& frames)
    {
        const std::string dir = tmp.sub(name);
        if (layout.enhanced) {
            Frame all;
            for (const Frame& f : frames) all.insert(all.end(), f.begin(), f.end());
            layout.frames = static_cast<int>(frames.size());
            writeDicomImage(dir + "/multi.dcm", layout, all);
            return dir;
        }
        for (std::size_t k = 0; k < frames.size(); ++k) {
            layout.instanceNumber = static_cast<int>(k + 1);
            // Names run against the instance numbers: the order is theirs.
            writeDicomImage(dir + "/IM_" + std::to_string(900 - k), layout, frames[k]);
        }
        return dir;
    }

    TempFolder tmp;
};

TEST_F(MeasureTest, MatricesDepthsAndEnhancedObjectsGiveTheMapsOfTheirSamples)
{
    struct Row {
        const char* name;
        int rows, columns, bits;
        bool isSigned, enhanced;
        std::int32_t base, spread;
    };
    const Row rows[] = {
        {"128 x 128, 16-bit signed", 128, 128, 16, true, false, -300, 601},
        {"192 x 256, 8-bit", 192, 256, 8, false, false, 120, 200},
        {"512 x 512, 16-bit unsigned, enhanced", 512, 512, 16, false, true, 50000, 3001},
        {"64 x 80, 8-bit signed, enhanced", 64, 80, 8, true, true, 0, 200},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DicomLayout layout;
        layout.seriesUid = "1.9";
        layout.rows = row.rows;
        layout.columns = row.columns;
        layout.bitsAllocated = row.bits;
        layout.isSigned = row.isSigned;
        layout.enhanced = row.enhanced;
        layout.transferSyntax = row.enhanced ? ts::JpegLsLossless : ts::ExplicitLittle;
        const std::vector<Frame> frames = repetitions(row.rows * row.columns, 4, row.base, row.spread);
        std::vector<Frame> stored = frames;
        if (row.enhanced) {
            // Stored out of order, put right by their temporal positions.
            std::swap(stored[0], stored[2]);
            layout.temporalPositions = {3, 2, 1, 4};
            layout.framePositions.assign(4, "0\\0\\0");  // one slice
        }
        const std::string folder = dicomSeries(row.name, layout, stored);
        const SeriesSource source = openSeriesSource(folder, {});
        const Stack stack = onlyStack(source);
        EXPECT_EQ(stack.keys.columns, row.columns);
        EXPECT_EQ(stack.keys.rows, row.rows);
        ImageReader reader(source);
        std::vector<unsigned char> image(2 * frames[0].size());
        for (std::size_t k = 0; k < frames.size(); ++k) {  // in acquisition order, whatever the file order
            const SampleKind kind = reader.read(stack.slices.at(0).repetitions.at(k), image);
            EXPECT_EQ(sampleValue(image.data(), 0, kind), frames[k][0]);
        }
        expectMapsOf(frames, mapsOf(folder));
    }

    // Raw files of another layout: big-endian unsigned 100 x 60 after a header.
    const std::string raw = tmp.sub("raw");
    const std::vector<Frame> frames = repetitions(100 * 60, 3, 40000, 999);
    for (std::size_t k = 0; k < frames.size(); ++k) {
        std::string bytes(78, 'h');
        for (const std::int32_t v : frames[k]) bytes += {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
        std::ofstream(raw + "/" + std::to_string(k), std::ios::binary) << bytes;
    }
    expectMapsOf(frames, mapsOf(raw, RawLayout{100, 60, SampleKind::Uint16, true}));
}

// --rescale: the signal in rescaled units, the noise times the slope; files
// that disagree on the rescale are refused.
TEST_F(MeasureTest, RescaleAppliesTheSlopeAndIntercept)
{
    DicomLayout layout;
    layout.rows = layout.columns = 16;
    layout.seriesUid = "1.5";
    layout.rescaleSlope = -0.5;
    layout.rescaleIntercept = 100;
    const std::vector<Frame> frames = repetitions(256, 5, 1000, 51);
    const std::string dir = dicomSeries("rescaled", layout, frames);
    const SliceMaps stored = mapsOf(dir, {}, false);
    const SliceMaps rescaled = mapsOf(dir);
    for (std::size_t p = 0; p < 256; ++p) {
        EXPECT_DOUBLE_EQ(rescaled.signal[p], -0.5 * stored.signal[p] + 100);
        EXPECT_DOUBLE_EQ(rescaled.noise[p], 0.5 * stored.noise[p]);
    }
    layout.rescaleSlope = 1;
    layout.instanceNumber = 9;
    writeDicomImage(dir + "/odd", layout, frames[0]);
    EXPECT_THROW(mapsOf(dir), InputError);
}

// Slices streamed together, a few repetitions of each at a time, each give
// the maps of their own samples, whatever the files' order.
TEST_F(MeasureTest, EverySliceGivesTheMapsOfItsOwnSamples)
{
    struct Row {
        const char* name;
        int slices, count;  // of repetitions, across batches of images
        bool enhanced;
    };
    for (const Row& row : {Row{"3 classic slices", 3, 19, false}, Row{"2 slices in one enhanced file", 2, 9, true}}) {
        SCOPED_TRACE(row.name);
        DicomLayout layout;
        layout.seriesUid = "8.1";
        layout.rows = layout.columns = 24;
        layout.attributes[0x00200037] = "1\\0\\0\\0\\1\\0";  // orientation
        const std::string dir = tmp.sub(row.name);
        std::vector<std::vector<Frame>> slices;
        Frame all;
        for (int s = 0; s < row.slices; ++s) {
            slices.push_back(repetitions(24 * 24, row.count, 100 * (s + 1), 41 + 20 * s));
            const std::string position = "0\\0\\" + std::to_string(-3 * s);  // numbered against position
            for (int k = 0; k < row.count; ++k) {
                const Frame& f = slices.back()[static_cast<std::size_t>(k)];
                layout.instanceNumber = s * 100 + k;
                layout.imagePosition = position;
                if (!row.enhanced) {
                    writeDicomImage(dir + "/" + std::to_string(s) + "_" + std::to_string(k), layout, f);
                    continue;
                }
                layout.framePositions.push_back(position);
                layout.stackPositions.push_back(static_cast<std::uint32_t>(row.slices - s));
                layout.temporalPositions.push_back(static_cast<std::uint32_t>(k + 1));
                all.insert(all.end(), f.begin(), f.end());
            }
        }
        if (row.enhanced) {
            layout.enhanced = true;
            layout.frames = row.slices * row.count;
            writeDicomImage(dir + "/multi.dcm", layout, all);
        }
        const StackMaps maps = stackMapsOf(dir);
        ASSERT_EQ(maps.slices.size(), static_cast<std::size_t>(row.slices));
        for (int s = 0; s < row.slices; ++s)  // in position order: the last written first
            expectMapsOf(slices[static_cast<std::size_t>(row.slices - 1 - s)], maps.slices[static_cast<std::size_t>(s)]);
    }
}

// A 256 × 256 raw series gives the window's maps, outside its scale bar.
TEST_F(MeasureTest, ARawSeriesGivesTheWindowsMapsBitForBit)
{
    const std::string dir = tmp.sub("window");
    const std::vector<Frame> frames = repetitions(FramePixels, 5, 800, 1501);
    for (std::size_t k = 0; k < frames.size(); ++k)
        test::writeImage(dir + "/" + std::to_string(k),
                         [&](int r, int c) { return static_cast<std::int16_t>(frames[k][r * 256 + c]); }, 100);
    test::NoRunView view;
    auto store = std::make_unique<MapStore>();
    MeasurementRun(RunInputs{"60", "20", "2", false, dir, dir}, *store, view);
    const SliceMaps maps = mapsOf(dir);
    for (int p = 0; p < FramePixels; ++p) {
        const int r = p / 256, c = p % 256;
        ASSERT_EQ(maps.signal[p], store->SignalMapA[r][c]);
        ASSERT_EQ(maps.noise[p], store->NoiseMapA[r][c]);
        const bool bar = r >= 50 && r <= 205 && c >= 232 && c <= 253;
        if (!bar) {
            ASSERT_EQ(maps.snr[p], store->SnrMapA[r][c]) << r << ", " << c;
        }
    }
}

// The maps read back by the NIfTI library are the maps in memory, as floats,
// with the pixel spacing in the header.
TEST_F(MeasureTest, TheNiftiMapsReadBackAsTheMapsInMemory)
{
    DicomLayout layout;
    layout.rows = 48;
    layout.columns = 64;
    layout.pixelSpacing = "0.8\\0.9";
    layout.seriesUid = "1.2.3";
    const std::vector<Frame> a = repetitions(48 * 64, 6, 1000, 301), b = repetitions(48 * 64, 6, 1000, 501);
    const std::string folderA = dicomSeries("a", layout, a), folderB = dicomSeries("b", layout, b);
    const std::string out = tmp.str() + "/out";
    const Outcome run = measure({folderA, folderB, "-R", "2x1.5", "-o", out, "-q"}, out);
    ASSERT_EQ(run.status, 0) << run.err;

    const SliceMaps mapsA = mapsOf(folderA), mapsB = mapsOf(folderB);
    const std::vector<double> g = gFactorMap(mapsA.snr, mapsB.snr, 3.0);
    const std::pair<const char*, const std::vector<double>*> files[] = {
        {"signal_a", &mapsA.signal}, {"noise_a", &mapsA.noise}, {"snr_a", &mapsA.snr}, {"signal_b", &mapsB.signal},
        {"noise_b", &mapsB.noise},   {"snr_b", &mapsB.snr},     {"g", &g}};
    for (const auto& [name, values] : files) {
        SCOPED_TRACE(name);
        const std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(
            nifti_image_read((out + "/" + name + ".nii.gz").c_str(), 1), nifti_image_free);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->nx, 64);
        EXPECT_EQ(image->ny, 48);
        EXPECT_EQ(image->datatype, DT_FLOAT32);
        EXPECT_FLOAT_EQ(image->dx, 0.9f);
        EXPECT_FLOAT_EQ(image->dy, 0.8f);
        const auto* data = static_cast<const float*>(image->data);
        for (std::size_t p = 0; p < values->size(); ++p) ASSERT_EQ(data[p], static_cast<float>((*values)[p])) << p;
    }
    EXPECT_NE(compactJson(run.report).find("\"reduction\":{\"R\":3.0,\"source\":\"option\"}"), std::string::npos);
    EXPECT_NE(fileText(out + "/report.csv").find(",3,option,"), std::string::npos);
}

// Every refusal by its status and message, every warning in the report.
TEST_F(MeasureTest, RefusalsAndWarnings)
{
    DicomLayout plain;
    plain.rows = plain.columns = 32;
    plain.seriesUid = "1.1";
    plain.pixelSpacing = "1\\1";
    plain.protocolName = "t1";
    DicomLayout parallel = plain;
    parallel.seriesUid = "1.2";
    parallel.reductionInPlane = 2;
    const std::vector<Frame> twenty = repetitions(32 * 32, 20, 500, 101);
    const std::string a = dicomSeries("a", plain, twenty);
    const std::string b = dicomSeries("b", parallel, twenty);
    DicomLayout noR = plain;
    noR.seriesUid = "1.3";
    const std::string bNoR = dicomSeries("bNoR", noR, twenty);
    DicomLayout other = parallel;
    other.pixelSpacing = "2\\2";
    other.protocolName = "t1 grappa";
    const std::string bOther = dicomSeries("bOther", other, repetitions(32 * 32, 12, 500, 101));
    const std::string one = dicomSeries("one", plain, repetitions(32 * 32, 1, 500, 101));
    DicomLayout big = plain;
    big.rows = big.columns = 64;
    const std::string large = dicomSeries("large", big, repetitions(64 * 64, 3, 500, 101));
    const std::string mixed = dicomSeries("mixed", plain, repetitions(32 * 32, 3, 500, 101));
    writeDicomImage(mixed + "/IM_1000", big, repetitions(64 * 64, 1, 5, 3)[0]);
    const std::string two = dicomSeries("two", plain, repetitions(32 * 32, 3, 500, 101));
    for (int k = 0; k < 2; ++k) {
        parallel.instanceNumber = k;
        writeDicomImage(two + "/other" + std::to_string(k), parallel, repetitions(32 * 32, 1, 5, 3)[0]);
    }
    writeDicomWithoutImage(a + "/DICOMDIR");
    std::ofstream(a + "/notes.txt") << "scanned on Monday\n";
    const std::string out = tmp.str() + "/out";

    struct Row {
        std::vector<std::string> args;
        int status;
        std::string says;  // in standard error (refusals) or the report (warnings)
    };
    const Row rows[] = {
        {{tmp.str() + "/missing"}, 2, "missing: no such folder"},
        {{a, "--bogus"}, 2, "unknown option: --bogus"},
        {{a, b, "-R", "0"}, 2, "-R: not a positive reduction factor: 0"},
        {{a, b, "-R", "0.5"}, 2, "-R: a reduction factor is 1 or more, not 0.5"},
        {{a, "--raw", "256"}, 2, "--raw: give WxH"},
        {{one}, 2, "1 repetition(s); at least 2 are needed"},
        {{mixed}, 2, "holds 2 stacks:"},
        {{a, large}, 2, "SERIES_A is 32 x 32 and SERIES_B 64 x 64"},
        {{two}, 2, "holds 2 stacks:\n  series (1.1): 1 slices x 3 repetitions: --series 1.1\n"},
        {{two, "--series", "1.1"}, 0, "\"series_uid\":\"1.1\""},
        {{a, bNoR}, 2, "SERIES_B: its files give no Parallel Reduction Factor In-plane (0018,9069); give -R"},
        {{a, b}, 0, "\"reduction\":{\"R\":2.0,\"source\":\"header\"}"},
        {{a, b, "-R", "3"}, 0, "-R 3 is used, but the files of SERIES_B give R = 2"},
        {{a, bOther}, 0, "SERIES_A has 20 repetitions and SERIES_B 12"},
        {{a, bOther}, 0, "pixel spacing differs: 1 x 1 mm in SERIES_A, 2 x 2 mm in SERIES_B"},
        {{a, bOther}, 0, "protocol differs: \\\"t1\\\" in SERIES_A, \\\"t1 grappa\\\" in SERIES_B"},
        {{a, bOther}, 0, "SERIES_B has only 12 repetitions"},
        {{a}, 0, "{\"name\":\"DICOMDIR\",\"reason\":\"a DICOM object without an image\"},"
                 "{\"name\":\"notes.txt\",\"reason\":\"not a DICOM file\"}"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"-o", out});
        SCOPED_TRACE(args.front() + " " + (args.size() > 3 ? args[1] : ""));
        std::filesystem::remove_all(out);
        const Outcome run = measure(args, out);
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_NE((row.status == 0 ? compactJson(run.report) : run.err).find(row.says), std::string::npos)
            << run.err << run.report;
        if (row.status != 0) {
            EXPECT_FALSE(std::filesystem::exists(out + "/report.json"));
        }
    }
}

// A disc of `signal` on 0 in a square of `side`, with noise of about `spread` / 3.
std::vector<Frame> discFrames(int side, int count, std::int32_t signal, std::int32_t spread, int seed)
{
    std::vector<Frame> frames = repetitions(side * side, count, 0, spread);
    for (int k = 0; k < count; ++k)
        for (int p = 0; p < side * side; ++p) {
            const double dx = p % side - (side - 1) / 2.0, dy = p / side - (side - 1) / 2.0;
            Frame& f = frames[static_cast<std::size_t>(k)];
            f[static_cast<std::size_t>(p)] = std::abs(f[static_cast<std::size_t>(p)] * seed % spread) +
                                             (dx * dx + dy * dy < side * side / 9.0 ? signal : 0);
        }
    return frames;
}

// The ROI options, a history of runs, limits, and the pictures of a run.
TEST_F(MeasureTest, RoiHistoryLimitsAndPictures)
{
    DicomLayout layout;
    layout.rows = layout.columns = 40;
    layout.seriesUid = "2.1";
    layout.reductionInPlane = 2;
    const std::string a = dicomSeries("a", layout, discFrames(40, 6, 1000, 41, 1));
    const std::string b = dicomSeries("b", layout, discFrames(40, 6, 1000, 61, 3));
    const std::string flat = dicomSeries("flat", layout, repetitions(1600, 4, 0, 1));
    const std::string out = tmp.str() + "/out", history = tmp.str() + "/history.csv";
    std::ofstream(tmp.str() + "/pass.json") << R"({"snr_a": {"min": 1}, "g_max": {"max": 100}})";
    std::ofstream(tmp.str() + "/fail.json") << R"({"snr_a": {"min": 1e9}, "g_max": {"max": 0.1}, "snr_b": {}})";
    std::ofstream(tmp.str() + "/unknown.json") << R"({"snr_c": {"min": 1}})";
    std::ofstream(tmp.str() + "/mistyped.json") << R"({"snr_a": {"minimum": 120}})";

    struct Row {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const Row rows[] = {
        {{a, "--roi", "circle:30,20,12"}, 2, "--roi: the circle reaches outside the 40 x 40 matrix"},
        {{a, "--roi", "rect:1,2"}, 2, "--roi: give rect:X0,Y0,X1,Y1"},
        {{a, "--roi", "rect:0,0,40,3"}, 2, "--roi: the rectangle reaches outside"},
        {{flat}, 2, "no phantom found in the mean image of SERIES_A"},
        {{a, "--detrend", "quadratic"}, 2, "--detrend: give smooth or linear"},
        {{a, b, "--limits", tmp.str() + "/unknown.json"}, 2, "snr_c"},
        {{a, b, "--limits", tmp.str() + "/mistyped.json"}, 2, "minimum"},
        {{a, b, "--limits", tmp.str() + "/pass.json", "--history", history}, 0, ""},
        {{a, b, "--limits", tmp.str() + "/fail.json", "--history", history, "--detrend", "smooth"}, 1,
         "limit not met: snr_a = "},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"-o", out});
        SCOPED_TRACE(args[1]);
        const Outcome run = measure(args, out);
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_NE(run.err.find(row.says), std::string::npos) << run.err;
    }
    const std::string report = compactJson(fileText(out + "/report.json"));
    EXPECT_NE(report.find("\"violations\":[\"g_max = "), std::string::npos);
    EXPECT_NE(report.find("is above its maximum 0.1\",\"snr_a = "), std::string::npos);
    EXPECT_NE(report.find("\"snr_detrended\":"), std::string::npos);
    EXPECT_NE(report.find("\"checks\":[{\"figure\":"), std::string::npos);

    // Two runs: one header and two rows, the second with its detrended SNR; a run of SERIES_A alone
    // and one with --stability go into the same history.
    ASSERT_EQ(measure({a, "-o", tmp.str() + "/alone", "-q", "--history", history}, out).status, 0);
    ASSERT_EQ(measure({a, b, "-o", tmp.str() + "/stability", "-q", "--stability", "--stability-roi", "5", "--history",
                       history},
                      out)
                  .status,
              0);
    const std::string lines = fileText(history);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 4 + 1);
    EXPECT_EQ(lines.find("software,version,run_time,a_study_uid,a_acquired,a_station,"), 0u);

    // The pictures: of their size, and not the same for other data.
    const auto picture = [&](const std::string& name) { return fileText(out + "/" + name); };
    for (const char* name : {"snr_a.png", "snr_b.png", "g.png", "drift_a.png", "drift_b.png"})
        EXPECT_EQ(picture(name).rfind("\x89PNG", 0), 0u) << name;
    const QImage snr(QString::fromStdString(out + "/snr_a.png"));
    // The 40 × 40 map enlarged to 480 pixels, its colour bar and ticks beside it, the text and table under it.
    EXPECT_GT(snr.width(), 480);
    EXPECT_LT(snr.width(), 640);
    EXPECT_GT(snr.height(), 480 + 3 * 16);
    const std::string before = picture("snr_a.png");
    ASSERT_EQ(measure({b, a, "-o", out, "-q"}, out).status, 0);
    EXPECT_NE(picture("snr_a.png"), before);
}

TEST(MeasureCommand, HelpVersionAndNoFolder)
{
    std::ostringstream out, err;
    EXPECT_EQ(runMeasure({"quelby-measure", "--help"}, out, err), 0);
    EXPECT_EQ(out.str().rfind("usage: quelby-measure [OPTIONS] SERIES_A [SERIES_B]\n", 0), 0u);
    out.str("");
    EXPECT_EQ(runMeasure({"quelby-measure", "--version"}, out, err), 0);
    EXPECT_EQ(out.str(), "quelby-measure 1.2\n");
    EXPECT_EQ(runMeasure({"quelby-measure"}, out, err), 2);
    EXPECT_EQ(err.str(), "quelby-measure: give the folder of SERIES_A (and of SERIES_B for the g-factor map)\n"
                         "Try 'quelby-measure --help'.\n");
}

}  // namespace
