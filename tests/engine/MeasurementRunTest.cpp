#include "engine/core/Failure.h"
#include "run/MeasurementRun.h"
#include "display/ScaleBar.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace quelby;
using quelby::test::TempFolder;
using quelby::test::writeImage;
using quelby::test::writeUniformImage;

namespace {

bool inScaleBar(int r, int c) { return r >= 52 && r <= 203 && c >= 234 && c <= 251; }

// Records what the run shows; renders like the window does, failing on width 0.
class RecordingView : public RunView {
public:
    explicit RecordingView(const MapStore& store) : store_(&store) {}

    void refuseReductionFactor() override { events.push_back("refuse"); }
    void setProgressBarShown(bool shown) override { progressShown = shown; events.push_back(shown ? "show" : "hide"); }
    void clearMapList() override { lines.clear(); events.push_back("clear"); }
    void addMapListLine(const char* text) override { lines.emplace_back(text); }
    void setProgress(int position) override { positions.push_back(position); }
    void setWindowCaption(const std::string& text) override { caption = text; events.push_back("caption"); }
    void render() override
    {
        if (store_->WindowWidth == 0) throw Failure::integerDivisionByZero();
        events.push_back("render");
    }

    std::vector<std::string> events;
    std::vector<std::string> lines;
    std::vector<int> positions;
    std::string caption = "(untouched)";
    bool progressShown = false;

private:
    const MapStore* store_;
};

class MeasurementRunTest : public ::testing::Test {
protected:
    RunInputs inputs(const std::string& a, const std::string& b, bool gMode = true, std::string r = "2") const
    {
        return RunInputs{"60", "20", std::move(r), gMode, a, b};
    }

    // Runs and returns the failure message, or "" when the run completed.
    std::string run(const RunInputs& in)
    {
        try {
            MeasurementRun(in, *store, view);
        } catch (const Failure& f) {
            return f.what();
        }
        return "";
    }

    // A series of images whose sample at every pixel is the given value of that file.
    std::string series(const std::string& name, const std::vector<std::int16_t>& values)
    {
        const std::string dir = tmp.sub(name);
        for (std::size_t i = 0; i < values.size(); ++i)
            writeUniformImage(dir + "/img" + std::to_string(i), values[i]);
        return dir;
    }

    TempFolder tmp;
    std::unique_ptr<MapStore> store = std::make_unique<MapStore>();
    RecordingView view{*store};
};

TEST_F(MeasurementRunTest, SignalIsTheMeanNoiseTheSampleDeviationSnrTheirRatio)
{
    const std::string a = tmp.sub("a");
    for (int i = 0; i < 3; ++i)
        writeImage(a + "/f" + std::to_string(i), [i](int r, int c) -> std::int16_t {
            if (r == 10 && c == 20) return static_cast<std::int16_t>(10 * (i + 1));  // 10, 20, 30
            return 77;                                                            // identical everywhere else
        });
    ASSERT_EQ(run(inputs(a, a)), "");
    EXPECT_EQ(store->SignalMapA[10][20], 20.0);
    EXPECT_EQ(store->NoiseMapA[10][20], 10.0);
    EXPECT_EQ(store->SnrMapA[10][20], 2.0);
    EXPECT_EQ(store->SignalMapA[0][0], 77.0);
    EXPECT_EQ(store->NoiseMapA[0][0], 0.0);
    EXPECT_EQ(store->SnrMapA[0][0], 0.0);
    EXPECT_EQ(store->CountA, 3);
    EXPECT_EQ(store->FileCounter, 3);
}

TEST_F(MeasurementRunTest, GFactorIsSnrAOverSnrBTimesRootR)
{
    const std::string a = series("a", {10, 20, 30});  // SNR 2
    const std::string b = series("b", {0, 10, 20});   // SNR 1
    ASSERT_EQ(run(inputs(a, b, true, "4")), "");
    EXPECT_EQ(store->SnrMapA[0][0], 2.0);
    EXPECT_EQ(store->SnrMapB[0][0], 1.0);
    EXPECT_EQ(store->GFactorMap[0][0], 100.0);
    EXPECT_EQ(store->CountB, 3);
}

// In plain doubles thousands of these pixels come out as 49.999…, which the export
// would write as 490 instead of 500.
TEST_F(MeasurementRunTest, SameSeriesTwiceWithRFourIsExactlyFiftyEverywhere)
{
    const std::string a = tmp.sub("a");
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 20.0);
    for (int i = 0; i < 16; ++i)
        writeImage(a + "/f" + std::to_string(i), [&](int r, int c) {
            const double signal = (r - 128) * (r - 128) + (c - 128) * (c - 128) < 100 * 100 ? 1000.0 : 0.0;
            return static_cast<std::int16_t>(std::lround(signal + noise(rng)));
        });
    ASSERT_EQ(run(inputs(a, a, true, "4")), "");
    int measured = 0;
    for (int r = 0; r < 256; ++r)
        for (int c = 0; c < 256; ++c) {
            if (inScaleBar(r, c)) continue;
            const double expected = store->SnrMapA[r][c] != 0.0 ? 50.0 : 0.0;
            ASSERT_EQ(store->GFactorMap[r][c], expected) << r << "," << c;
            measured += expected != 0.0;
        }
    EXPECT_GT(measured, 60000);
    EXPECT_EQ(store->GFactorMap[53][235], 240 * 100.0);  // the bar, in units of g × 100
    EXPECT_EQ(store->GFactorMap[52][234], 300.0);
}

TEST_F(MeasurementRunTest, ProgressMovesAfterEveryFile)
{
    const std::string a = series("a", {1, 2, 3, 4});
    const std::string b = series("b", {4, 3, 2, 1});
    ASSERT_EQ(run(inputs(a, b)), "");
    EXPECT_EQ(view.positions, (std::vector<int>{6, 12, 18, 25, 31, 37, 43, 50, 56, 62, 68, 75, 81, 87, 93, 100}));

    view.positions.clear();
    const std::string c = series("c", {1, 2, 3});
    ASSERT_EQ(run(inputs(c, "", false)), "");
    EXPECT_EQ(view.positions, (std::vector<int>{16, 33, 50, 66, 83, 100}));
}

TEST_F(MeasurementRunTest, CompletedRunListsTheMapsShowsTheLastImageAndSetsTheWindow)
{
    const std::string a = tmp.sub("a");
    writeUniformImage(a + "/B.img", 1000);
    writeImage(a + "/c.img", [](int r, int c) -> std::int16_t { return r == 5 && c == 6 ? 1235 : 3; });
    writeUniformImage(a + "/a.img", 500);
    ASSERT_EQ(run(inputs(a, a)), "");

    ASSERT_EQ(view.lines.size(), 9u);
    EXPECT_EQ(view.lines.front(), "PIなし 代表画像");
    EXPECT_EQ(view.lines.back(), "g-factor map");
    EXPECT_EQ(store->RepImageA[5][6], 1235.0);  // c.img is last by name
    EXPECT_EQ(store->DisplayMap, store->RepImageA);
    EXPECT_EQ(store->DisplayMax, 1235.0);
    EXPECT_EQ(store->WindowLevel, 617);
    EXPECT_EQ(store->WindowWidth, 1235);
    EXPECT_EQ(view.caption, "(wl,ww) = (617,1235)");
    EXPECT_EQ(view.events, (std::vector<std::string>{"show", "clear", "caption", "render", "hide"}));
}

TEST_F(MeasurementRunTest, SecondRunWithFewerFilesKeepsNothingOfTheFirst)
{
    const std::string a = tmp.sub("a");
    writeImage(a + "/1", [](int r, int) -> std::int16_t { return static_cast<std::int16_t>(r); });
    writeImage(a + "/2", [](int r, int) -> std::int16_t { return static_cast<std::int16_t>(3 * r); });
    writeUniformImage(a + "/3", 900);
    ASSERT_EQ(run(inputs(a, a)), "");

    const std::string small = series("small", {10, 30});
    auto fresh = std::make_unique<MapStore>();
    RecordingView freshView(*fresh);
    MeasurementRun(inputs(small, small), *fresh, freshView);
    ASSERT_EQ(run(inputs(small, small)), "");
    for (int k = 0; k < ResultMapCount; ++k) EXPECT_EQ(store->resultMap(k), fresh->resultMap(k)) << k;
    EXPECT_EQ(store->CountA, 2);
}

TEST_F(MeasurementRunTest, PlainModeFillsSeriesAAndLeavesOnlyBarsAndFramesElsewhere)
{
    const std::string a = series("a", {10, 20, 30});
    ASSERT_EQ(run(inputs(a, "/nonexistent", false, "2")), "");
    EXPECT_EQ(view.lines, (std::vector<std::string>{"PIなし 代表画像", "PIなし 信号値画像", "PIなし 雑音値画像",
                                                    "PIなし SNR map"}));
    EXPECT_EQ(store->SnrMapA[0][0], 2.0);
    for (int k : {RepImageBIndex, SignalMapBIndex, NoiseMapBIndex}) EXPECT_EQ(store->resultMap(k), Map{}) << k;
    Map frameOnly{};
    WriteScaleFrame(frameOnly);
    EXPECT_EQ(store->SnrMapB, frameOnly);
    Map barAndFrame{};
    WriteScaleBar(barAndFrame, 6000.0, 2000.0);
    WriteScaleFrame(barAndFrame);
    EXPECT_EQ(store->GFactorMap, barAndFrame);
    EXPECT_EQ(store->CountB, 0);
}

// Series A's arithmetic may still be going on while B is read: a failure in
// B leaves A's maps, bar and frame included, as a run of A alone does, and
// B's images handed on before the failing file counted.
TEST_F(MeasurementRunTest, AFailureInSeriesBLeavesSeriesAComplete)
{
    std::vector<std::int16_t> values;
    for (int k = 0; k < 40; ++k) values.push_back(static_cast<std::int16_t>(100 + k * k % 37));
    const std::string a = series("a", values);
    ASSERT_EQ(run(inputs(a, "/nonexistent", false)), "");
    const auto alone = std::make_unique<MapStore>(*store);
    const std::string shortLast = series("b", {10, 10, 10});
    writeUniformImage(shortLast + "/z", 1);
    std::filesystem::resize_file(shortLast + "/z", 131070);
    const std::pair<std::string, const char*> rows[] = {
        {tmp.str() + "/missing", "ファイル名の指定が間違っています"},
        {shortLast, "I/O エラー (22)"},
    };
    for (const auto& [b, message] : rows) {
        SCOPED_TRACE(b);
        view = RecordingView(*store);
        EXPECT_EQ(run(inputs(a, b)), message);
        for (int k : {RepImageAIndex, SignalMapAIndex, NoiseMapAIndex, SnrMapAIndex})
            EXPECT_EQ(store->resultMap(k), alone->resultMap(k)) << k;
        EXPECT_EQ(store->SignalMapB[9][9], b == shortLast ? 30.0 : 0.0);
    }
}

struct FailureRow {
    const char* name;
    const char* min;
    const char* step;
    const char* reduction;
    bool gMode;
    const char* message;
};

// Each failing step ends the run there; what it had done stays done.
TEST_F(MeasurementRunTest, EveryFailureStopsAtItsStepWithItsMessage)
{
    const std::string good = series("good", {10, 20, 30});
    const FailureRow rows[] = {
        {"min not a number", "6o", "20", "2", true, "'6o' は浮動小数点数ではありません"},
        {"step not a number", "61", "-", "2", true, "'-' は浮動小数点数ではありません"},
        {"reduction not a number, g mode", "61", "21", "abc", true, "'abc' は浮動小数点数ではありません"},
        {"reduction not a number, plain", "61", "21", " 2x", false, "' 2x' は浮動小数点数ではありません"},
        {"reduction negative", "61", "21", "-4", true, "不正な浮動小数点数演算命令"},
        {"reduction zero as 0.0", "61", "21", "0.0", true, "0 による浮動小数点数除算"},
        {"reduction negative, plain", "61", "21", "-1", false, "不正な浮動小数点数演算命令"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        store->ScaleMin = 1.5;
        store->WindowLevel = 11;
        store->WindowWidth = 22;
        view = RecordingView(*store);
        EXPECT_EQ(run(RunInputs{row.min, row.step, row.reduction, row.gMode, good, good}), row.message);
        EXPECT_EQ(store->WindowLevel, 11);
        EXPECT_EQ(store->WindowWidth, 22);
        EXPECT_EQ(view.caption, "(untouched)");
        const std::string min = row.min, step = row.step, reduction = row.reduction;
        EXPECT_EQ(store->ScaleMin, min == "6o" ? 1.5 : 61.0);
        if (min == "6o" || step == "-") {
            EXPECT_TRUE(view.events.empty());
        } else {
            EXPECT_TRUE(view.progressShown);
        }
        if (reduction == "abc") {
            EXPECT_EQ(view.lines.size(), 9u);
        }
        if (reduction == " 2x") {
            EXPECT_EQ(store->SnrMapA[0][0], 2.0);  // the A maps are complete
        }
    }
}

TEST_F(MeasurementRunTest, RefusedReductionFactorChangesOnlyTheScale)
{
    store->RepImageA[1][1] = 42.0;
    store->WindowWidth = 5;
    ASSERT_EQ(run(RunInputs{"7", "8", "0", true, "/nonexistent", "/nonexistent"}), "");
    EXPECT_EQ(view.events, (std::vector<std::string>{"refuse", "hide"}));
    EXPECT_EQ(store->ScaleMin, 7.0);
    EXPECT_EQ(store->ScaleStep, 8.0);
    EXPECT_EQ(store->RepImageA[1][1], 42.0);
    EXPECT_EQ(store->WindowWidth, 5);
}

TEST_F(MeasurementRunTest, ZeroAsTextOtherThanZeroIsNotRefused)
{
    const std::string good = series("good", {10, 20, 30});
    for (const char* text : {"00", " 0", "-0"}) {
        SCOPED_TRACE(text);
        view = RecordingView(*store);
        EXPECT_EQ(run(inputs(good, good, true, text)), "0 による浮動小数点数除算");
        EXPECT_EQ(view.events.front(), "show");
    }
}

TEST_F(MeasurementRunTest, SeriesThatCannotGiveAResultFail)
{
    const std::string onlyFolders = tmp.sub("onlyfolders");
    tmp.sub("onlyfolders/sub");
    const std::string one = series("one", {5});
    const std::string shortFile = tmp.sub("short");
    writeUniformImage(shortFile + "/a", 1);
    std::filesystem::resize_file(shortFile + "/a", 131070);
    const std::pair<std::string, const char*> rows[] = {
        {onlyFolders, "不正な浮動小数点数演算命令"},
        {one, "不正な浮動小数点数演算命令"},
        {shortFile, "I/O エラー (22)"},
        {tmp.str() + "/missing", "ファイル名の指定が間違っています"},
    };
    for (const auto& [folder, message] : rows) {
        SCOPED_TRACE(folder);
        view = RecordingView(*store);
        for (int k = 0; k < ResultMapCount; ++k) store->resultMap(k)[7][7] = 3.0;
        EXPECT_EQ(run(inputs(folder, folder)), message);
        EXPECT_TRUE(view.progressShown);
        EXPECT_EQ(view.caption, "(untouched)");
        for (int k = 0; k < ResultMapCount; ++k) EXPECT_NE(store->resultMap(k)[7][7], 3.0) << "map " << k;  // cleared first
    }
}

TEST_F(MeasurementRunTest, ReductionZeroWhereSnrAIsZeroTooIsInvalid)
{
    const std::string a = series("a", {5, 5, 5});     // noise 0 → SNR 0
    const std::string b = series("b", {0, 10, 20});  // SNR 1
    EXPECT_EQ(run(inputs(a, b, true, "0.0")), "不正な浮動小数点数演算命令");
    const std::span<const double> g = pixelsOf(store->GFactorMap);
    EXPECT_EQ(std::count(g.begin(), g.end(), 0.0), FramePixels);  // nothing written past the failing pixel
}

TEST_F(MeasurementRunTest, RepresentativeImageWithNothingAboveZeroFailsAtRendering)
{
    const std::string a = series("a", {-1, -2, -3});
    EXPECT_EQ(run(inputs(a, a)), "ゼロによる除算");
    EXPECT_EQ(view.caption, "(wl,ww) = (0,0)");
    EXPECT_EQ(store->WindowWidth, 0);
    EXPECT_TRUE(view.progressShown);
}

}  // namespace
