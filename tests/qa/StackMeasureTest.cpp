// quelby-measure over stacks: slices, rescaled values, --each and the output folder.
#include "DicomSeries.h"
#include "GaussianNoise.h"
#include "MeasureRun.h"
#include "TempFolder.h"
#include "qa/Limits.h"

#include <nifti1_io.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

using namespace quelby;
using namespace quelby::test;
using json = nlohmann::json;

namespace {

constexpr std::uint32_t EchoNumbers = 0x00180086, EchoTime = 0x00180081, Orientation = 0x00200037;
constexpr int Side = 48;

// A disc of `signal` (radius 16) on `offset`, with Gaussian noise of sigma 10.
std::vector<Frame> noisyDisc(int count, double signal, std::uint64_t seed, double offset)
{
    GaussianNoise noise(seed);
    std::vector<Frame> frames(static_cast<std::size_t>(count), Frame(Side * Side));
    for (Frame& f : frames)
        for (int p = 0; p < Side * Side; ++p) {
            const double dx = p % Side - 23.5, dy = p / Side - 23.5;
            f[static_cast<std::size_t>(p)] =
                static_cast<std::int32_t>(std::lround(offset + (dx * dx + dy * dy <= 256 ? signal : 0) + 10 * noise.next()));
        }
    return frames;
}

// The SNR of a disc of `signal`: the noise and the rounding's.
double truth(double signal) { return signal / std::sqrt(100 + 1.0 / 12); }

bool exists(const std::string& path) { return std::filesystem::exists(path); }

class StackMeasureTest : public ::testing::Test {
protected:
    // 16 repetitions of each slice at z = 5 s + shift mm, files numbered against position order.
    std::string slices(const std::string& name, DicomLayout layout, const std::vector<double>& signals,
                       std::uint64_t seed, double offset = 0, double shift = 0)
    {
        const std::string dir = tmp.sub(name);
        layout.rows = layout.columns = Side;
        layout.attributes[Orientation] = "1\\0\\0\\0\\1\\0";
        for (std::size_t s = 0; s < signals.size(); ++s) {
            const std::vector<Frame> frames = noisyDisc(16, signals[s], seed + s, offset);
            layout.imagePosition = "0\\0\\" + std::to_string(5.0 * static_cast<double>(s) + shift);
            for (std::size_t r = 0; r < frames.size(); ++r) {
                layout.instanceNumber = static_cast<int>((signals.size() - s) * 100 + r);
                writeDicomImage(dir + "/" + std::to_string(seed) + "_" + std::to_string(s) + "_" + std::to_string(r), layout,
                                frames[r]);
            }
        }
        return dir;
    }

    TempFolder tmp;
    const std::string out = tmp.str() + "/out";
};

TEST_F(StackMeasureTest, EachSliceHasItsOwnFiguresNearTheTruthAndItsOwnG)
{
    DicomLayout layout;
    layout.seriesUid = "3.1";
    const std::vector<double> signals{500, 1000, 1500};
    const std::string a = slices("a", layout, signals, 10);
    layout.seriesUid = "3.2";
    layout.reductionInPlane = 2;
    const Outcome run = measure({a, slices("b", layout, signals, 20), "-o", out, "-q"}, out);
    ASSERT_EQ(run.status, 0) << run.err;
    const json report = json::parse(run.report);
    for (const char* series : {"series_a", "series_b"}) {
        SCOPED_TRACE(series);
        const json& s = report[series]["slices"];
        ASSERT_EQ(s.size(), 3u);
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(s[k]["position_mm"], 5.0 * static_cast<double>(k));
            EXPECT_EQ(s[k]["repetitions"], 16);
            EXPECT_NEAR(s[k]["roi"]["snr"].get<double>() / truth(signals[k]), 1.0, 0.03);
        }
        EXPECT_EQ(report[series]["roi"], s[1]["roi"]);  // the centre slice's
    }
    // The same noise in both: g = 1/√2, lifted a little by the per-pixel ratio of 16 repetitions.
    for (const json& slice : report["series_b"]["slices"]) EXPECT_NEAR(slice["g"]["mean"].get<double>(), 0.75, 0.05);
    const std::unique_ptr<nifti_image, void (*)(nifti_image*)> g(nifti_image_read((out + "/g.nii.gz").c_str(), 0),
                                                                 nifti_image_free);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->nz, 3);
}

TEST_F(StackMeasureTest, AFourDimensionalNiftiFileIsASeries)
{
    const std::vector<double> signals{600, 1200};
    const int dims[8] = {4, Side, Side, 2, 16, 1, 1, 1};
    nifti_image* image = nifti_make_new_nim(dims, DT_INT16, 1);
    image->dz = image->pixdim[3] = 5;
    auto* samples = static_cast<std::int16_t*>(image->data);
    for (std::size_t s = 0; s < signals.size(); ++s) {
        const std::vector<Frame> frames = noisyDisc(16, signals[s], 100 + s, 0);
        for (std::size_t r = 0; r < frames.size(); ++r)
            std::copy(frames[r].begin(), frames[r].end(), samples + (r * 2 + s) * Side * Side);
    }
    const std::string path = tmp.str() + "/series.nii.gz";
    nifti_set_filenames(image, path.c_str(), 0, 1);
    nifti_image_write(image);
    nifti_image_free(image);

    const Outcome run = measure({path, "-o", out, "-q"}, out);
    ASSERT_EQ(run.status, 0) << run.err;
    const json series = json::parse(run.report)["series_a"];
    EXPECT_EQ(series["format"], "NIfTI");
    ASSERT_EQ(series["slices"].size(), 2u);
    for (std::size_t s = 0; s < 2; ++s)
        EXPECT_NEAR(series["slices"][s]["roi"]["snr"].get<double>() / truth(signals[s]), 1.0, 0.03) << s;
}

TEST_F(StackMeasureTest, RescaledValuesByDefaultStoredOnRequest)
{
    DicomLayout layout;
    layout.seriesUid = "4.1";
    layout.rescaleIntercept = -5000;
    const std::string a = slices("offset", layout, {800}, 30, 5000);
    struct Row {
        std::vector<std::string> args;
        double snr;  // of the ROI; 0: not looked at
        bool wholeImage;  // the phantom found covers it, with a warning
    };
    const Row rows[] = {
        {{}, truth(800), false},
        {{"--rescale"}, truth(800), false},
        {{"--stored", "--roi", "circle:23.5,23.5,10"}, truth(5800), true},
        {{"--stored"}, 0, true},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args{a, "-o", out};
        args.insert(args.end(), row.args.begin(), row.args.end());
        SCOPED_TRACE(args.back());
        const Outcome run = measure(args, out);
        ASSERT_EQ(run.status, 0) << run.err;
        const json report = json::parse(run.report);
        if (row.snr > 0) {
            EXPECT_NEAR(report["series_a"]["roi"]["snr"].get<double>() / row.snr, 1.0, 0.03);
        }
        EXPECT_EQ(report["warnings"].dump().find("the phantom found covers 100 % of the image") != std::string::npos,
                  row.wholeImage)
            << report["warnings"];
    }
}

TEST_F(StackMeasureTest, EachStackGoesIntoItsOwnSubfolder)
{
    DicomLayout layout;
    layout.seriesUid = "5.1";
    for (const char* echo : {"1", "2"}) {
        layout.attributes[EchoNumbers] = echo;
        layout.attributes[EchoTime] = std::string(echo) + "0";
        slices("echoes", layout, {1000}, echo[0] == '1' ? 40 : 50);
    }
    const std::string folder = tmp.str() + "/echoes";
    ASSERT_EQ(measure({folder, "-o", out, "-q"}, out).status, 2);  // two stacks and no choice
    const Outcome run = measure({folder, "--each", "-o", out, "-q"}, out);
    ASSERT_EQ(run.status, 0) << run.err;
    const json stacks = json::parse(run.report)["stacks"];
    ASSERT_EQ(stacks.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(stacks[k]["echo_number"], k + 1);
        const std::string sub = out + "/" + stacks[k]["output"].get<std::string>();
        EXPECT_TRUE(exists(sub + "/snr_a.nii.gz"));
        EXPECT_EQ(json::parse(fileText(sub + "/report.json"))["series_a"]["echo_time_ms"], 10.0 * (k + 1));
    }
    EXPECT_EQ(measure({folder, "--echo", "2", "-o", out, "-q"}, out).status, 0);

    // With SERIES_B, each stack with SERIES_B's of the same keys.
    layout.reductionInPlane = 2;
    layout.attributes[EchoNumbers] = "1";
    layout.attributes[EchoTime] = "10";
    const std::string b = slices("b", layout, {1000}, 60);
    const Outcome unpaired = measure({folder, b, "--each", "-o", out}, out);
    EXPECT_EQ(unpaired.status, 2);
    EXPECT_NE(unpaired.err.find("SERIES_B holds no stack of echo 2"), std::string::npos) << unpaired.err;
    layout.attributes[EchoNumbers] = "2";
    layout.attributes[EchoTime] = "20";
    slices("b", layout, {1000}, 70);
    ASSERT_EQ(measure({folder, b, "--each", "-o", out, "-q"}, out).status, 0);
    const json paired = json::parse(fileText(out + "/report.json"));
    for (const json& stack : paired["stacks"])
        EXPECT_TRUE(exists(out + "/" + stack["output"].get<std::string>() + "/g.nii.gz"));
}

// Outputs of an earlier run that this one does not write go; files it never wrote stay.
TEST_F(StackMeasureTest, StaleOutputsGoForeignFilesStayAndAFileIsNoFolder)
{
    DicomLayout layout;
    layout.seriesUid = "6.1";
    layout.reductionInPlane = 2;
    const std::string a = slices("a", layout, {1000}, 60), b = slices("b", layout, {1000}, 70);
    ASSERT_EQ(measure({a, b, "-o", out, "-q", "--stability", "--stability-roi", "5"}, out).status, 0);
    std::ofstream(out + "/notes.txt") << "phantom 3\n";
    ASSERT_EQ(measure({a, "-o", out, "-q"}, out).status, 0);
    for (const char* gone : {"g.png", "g.nii.gz", "snr_b.nii.gz", "drift_b.png", "sfnr_a.nii.gz", "stability_b.png"})
        EXPECT_FALSE(exists(out + "/" + gone)) << gone;
    for (const char* kept : {"notes.txt", "snr_a.png", "snr_a.nii.gz"}) EXPECT_TRUE(exists(out + "/" + kept)) << kept;

    // Only this program's own names are taken from an earlier report, whatever it lists.
    const std::string other = tmp.sub("other");
    std::ofstream(other + "/g.png") << "not ours";
    for (const char* earlier : {R"({"software": 5})", R"({"software": "quelby-measure", "maps": ["notes.txt", "../a"]})"}) {
        std::ofstream(other + "/report.json") << earlier;
        std::ofstream(other + "/notes.txt") << "phantom 3\n";
        ASSERT_EQ(measure({a, "-o", other, "-q"}, other).status, 0);
        EXPECT_EQ(fileText(other + "/g.png"), "not ours");
        EXPECT_TRUE(exists(other + "/notes.txt"));
    }

    const Outcome file = measure({a, "-o", out + "/notes.txt"}, out);
    EXPECT_EQ(file.status, 2);
    EXPECT_NE(file.err.find("notes.txt: is a file, not a folder"), std::string::npos) << file.err;
}

TEST_F(StackMeasureTest, SlicesThatCannotBePairedAreRefused)
{
    DicomLayout layout;
    layout.seriesUid = "7.1";
    const std::string a = slices("a", layout, {900, 900, 900}, 80);
    struct Row {
        const char* name;
        std::vector<double> signals;
        double shift;
        std::string says;
    };
    const Row rows[] = {
        {"two", {900, 900}, 0, "SERIES_A has 3 slices and SERIES_B 2"},
        {"shifted", {900, 900, 900}, 3, "slice 0 lies at 0 mm in SERIES_A and at 3 mm in SERIES_B"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome run = measure({a, slices(row.name, layout, row.signals, 90, 0, row.shift), "-R", "2", "-o", out}, out);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(row.says), std::string::npos) << run.err;
    }
}

}  // namespace

// Who and when reach the report and its row, the SNR methods every slice; --stability gives every slice
// its figures, maps and columns; --dicom every map its two objects.
TEST_F(StackMeasureTest, IdentityMethodsStabilityAndDicomReachTheReportsAndMaps)
{
    DicomLayout layout;
    layout.seriesUid = "3.5";
    layout.pixelSpacing = "1\\1";
    layout.attributes[0x00180050] = "5";          // Slice Thickness
    layout.attributes[0x00081010] = "MR3T_EAST";  // Station Name
    layout.attributes[0x00181000] = "SN 4711";    // Device Serial Number
    layout.attributes[0x00181250] = "Kopf\xfc";   // Receive Coil Name, in Latin-1: no UTF-8
    const Outcome run = measure({slices("a", layout, {800, 1000, 1200}, 40), "-o", out, "-q", "--stability",
                                 "--stability-roi", "6", "--skip", "2", "--dicom"},
                                out);
    ASSERT_EQ(run.status, 0) << run.err;
    const json report = json::parse(run.report);
    const json& a = report["series_a"];
    EXPECT_EQ(a["identity"]["station"], "MR3T_EAST");
    EXPECT_EQ(a["identity"]["receive_coil"], "Kopf\xef\xbf\xbd");
    EXPECT_EQ(a["stability"], a["slices"][1]["stability"]);
    EXPECT_EQ(a["methods"], a["slices"][1]["methods"]);
    EXPECT_EQ(a["methods"]["multiple"]["snr"], a["roi"]["snr"]);
    EXPECT_NEAR(a["methods"]["difference"]["snr"].get<double>(), truth(1000), 0.2 * truth(1000));
    for (std::size_t s = 0; s < 3; ++s) {
        const json& st = a["slices"][s]["stability"];
        EXPECT_EQ(st["frames"], 14);
        EXPECT_EQ(st["roi_width"], 6);
        EXPECT_NEAR(st["signal"].get<double>(), 800 + 200.0 * static_cast<double>(s), 10);
    }
    for (const char* name : {"sfnr_a.nii.gz", "fluctuation_a.nii.gz", "static_noise_a.nii.gz", "stability_a.png"})
        EXPECT_TRUE(exists(out + "/" + name)) << name;
    const std::string csv = fileText(out + "/report.csv");
    const std::string header = csv.substr(0, csv.find('\n')), row = csv.substr(csv.find('\n') + 1);
    for (const char* column : {",a_station,", ",a_serial,", ",sfnr_a,", ",snr_static_a,", ",rdc_a,"})
        EXPECT_NE(header.find(column), std::string::npos) << column;
    EXPECT_NE(row.find(",MR3T_EAST,SN 4711,"), std::string::npos) << row;
    // Every figure a run gives can be given a limit.
    const std::size_t from = header.find(",R_source,") + 10, to = header.find(",limits_failed");
    std::istringstream figures(header.substr(from, to - from));
    const std::vector<std::string>& known = knownFigures();
    for (std::string name; std::getline(figures, name, ',');)
        EXPECT_NE(std::find(known.begin(), known.end(), name), known.end()) << name;
    const std::string page = fileText(out + "/report.html");
    EXPECT_NE(page.find("MR3T_EAST"), std::string::npos);
    EXPECT_NE(page.find("data:image/png;base64,"), std::string::npos);
    std::set<std::string> objects;
    for (const json& entry : report["dicom"]) {
        objects.insert(entry["map"].get<std::string>() + " " + entry["kind"].get<std::string>());
        for (const json& file : entry["files"]) EXPECT_TRUE(exists(out + "/" + file.get<std::string>())) << file;
    }
    EXPECT_EQ(objects.size(), 2u * 6);  // signal, noise, SNR and the three stability maps
    EXPECT_TRUE(objects.count("sfnr_a parametric") && objects.count("snr_a mr"));
}
