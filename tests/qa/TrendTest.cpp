#include "qa/TrendProgram.h"

#include "GaussianNoise.h"
#include "HeadlessChromium.h"
#include "TempFolder.h"
#include "engine/core/InputError.h"
#include "qa/CsvTable.h"
#include "qa/Report.h"
#include "qa/TrendAnalysis.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace quelby {
namespace {

// One run of a history: its scanner, when it was acquired and its SNR.
struct HistoryRun {
    std::string station, acquired, runTime;
    double snr;
};

std::string historyText(const std::vector<HistoryRun>& runs)
{
    std::string text = csvLine({"software", "run_time", "a_acquired", "a_station", "a_serial", "a_receive_coil",
                                "a_protocol", "snr_a", "g_max", "warnings"});
    for (const HistoryRun& r : runs)
        text += csvLine({"quelby-measure", r.runTime, r.acquired, r.station, "77", "Head 32", "qa, axial",
                         numberText(r.snr), "", "a warning, \"quoted\""});
    return text;
}

// `n` runs of SNR ~ N(100, 1), a day apart from 2026-01-01.
std::vector<HistoryRun> steadyRuns(const std::string& station, int n, std::uint64_t seed)
{
    GaussianNoise noise(seed);
    std::vector<HistoryRun> runs;
    for (int k = 0; k < n; ++k) {
        char day[32];
        std::snprintf(day, sizeof day, "202601%02d090000", k + 1);
        runs.push_back({station, day, "", 100 + noise.next()});
    }
    return runs;
}

Trend analysed(const std::vector<HistoryRun>& runs, const std::vector<Limit>& limits = {})
{
    return analyseTrend(parseCsv(historyText(runs), "h.csv"), "h.csv", 10, limits);
}

const TrendFigure& snrOf(const TrendGroup& g)
{
    return *std::find_if(g.figures.begin(), g.figures.end(), [](const TrendFigure& f) { return f.name == "snr_a"; });
}

// The flags of each run after the baseline, and whether a short history is judged.
TEST(Trend, FlagsRunsAgainstTheBaseline)
{
    const auto baseline = steadyRuns("S", 10, 7);
    double mean = 0, squares = 0;
    for (const HistoryRun& r : baseline) mean += r.snr / 10;
    for (const HistoryRun& r : baseline) squares += (r.snr - mean) * (r.snr - mean);
    const double sd = std::sqrt(squares / 9);
    const auto at = [&](double deviations) { return HistoryRun{"S", "20260301090000", "", mean + deviations * sd}; };
    const struct {
        const char* name;
        std::vector<HistoryRun> later;
        std::vector<std::string> latestFlags;
        std::vector<Limit> limits;
    } rows[] = {
        {"in control", {at(1), at(-1.5), at(2.5)}, {}, {}},
        {"a drop", {at(0.5), at(1), {"S", "", "", 90}}, {"3sd"}, {}},
        {"two of three high", {at(2.5), at(0), at(2.5)}, {"2of3"}, {}},
        {"two high on either side", {at(2.5), at(-2.5), at(0.5)}, {}, {}},
        {"beyond 3 SD twice", {at(-3.5), at(-3.2)}, {"3sd", "2of3"}, {}},
        {"a limit", {at(0), at(-1)}, {"limit"}, {{"snr_a", mean, std::nullopt}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<HistoryRun> runs = baseline;
        runs.insert(runs.end(), row.later.begin(), row.later.end());
        const Trend trend = analysed(runs, row.limits);
        ASSERT_EQ(trend.groups.size(), 1u);
        const TrendFigure& f = snrOf(trend.groups[0]);
        EXPECT_NEAR(f.baseline.mean, mean, 1e-9);
        EXPECT_NEAR(*f.baseline.sd, sd, 1e-9);
        EXPECT_EQ(f.points.back().flags, row.latestFlags);
        EXPECT_EQ(latestFlagged(trend.groups[0]).size(), row.latestFlags.empty() ? 0u : 1u);
        for (std::size_t k = 0; k < 10; ++k)
            EXPECT_EQ(f.points[k].flags.empty(), row.limits.empty() || f.points[k].value >= mean) << k;
    }

    // Too few runs for a baseline and one judged: no SD flags, the limit still.
    std::vector<HistoryRun> few = steadyRuns("S", 9, 8);
    few.push_back({"S", "20260301090000", "", 50});
    const TrendFigure f = snrOf(analysed(few, {{"snr_a", 60, std::nullopt}}).groups[0]);
    EXPECT_FALSE(f.judged);
    EXPECT_EQ(f.baseline.runs, 10u);
    EXPECT_EQ(f.points.back().flags, std::vector<std::string>{"limit"});
}

// Groups stay apart, and each is in acquisition order whatever the file's order.
TEST(Trend, GroupsAndAcquisitionOrder)
{
    std::vector<HistoryRun> runs;
    const auto one = steadyRuns("one", 12, 3), two = steadyRuns("two", 12, 4);
    for (std::size_t k = 0; k < 12; ++k) runs.insert(runs.end(), {two[k], one[k]});
    runs.insert(runs.begin(), {"one", "20260401090000", "", 80});  // first in the file, acquired last
    runs.push_back({"two", "", "", 100.5});  // no time at all: after the run before it in the file
    // Acquired at 10:00 UTC, before the run acquired at 11:00 without an offset.
    runs.push_back({"two", "20260501120000.5+0200", "", 100.25});
    runs.push_back({"two", "20260501110000", "", 99.75});
    runs.push_back({"two", "", "2026-05-02T08:00:00Z", 100});  // no acquisition time: its run's
    const Trend trend = analysed(runs);
    ASSERT_EQ(trend.groups.size(), 2u);
    const TrendFigure &a = snrOf(trend.groups[0]), &b = snrOf(trend.groups[1]);
    EXPECT_EQ(trend.groups[0].key.station, "one");
    EXPECT_EQ(trend.groups[0].key.protocol, "qa, axial");
    ASSERT_EQ(a.points.size(), 13u);
    EXPECT_EQ(a.points.back().acquired, "20260401090000");
    EXPECT_EQ(a.points.back().flags, std::vector<std::string>{"3sd"});
    ASSERT_EQ(b.points.size(), 16u);
    EXPECT_EQ(b.points[12].value, 100.5);
    EXPECT_EQ(b.points[13].value, 100.25);
    EXPECT_EQ(b.points[14].value, 99.75);
    EXPECT_EQ(b.points[15].acquired, "2026-05-02T08:00:00Z");
    EXPECT_TRUE(latestFlagged(trend.groups[1]).empty());
    EXPECT_NEAR(b.baseline.mean, 100, 1.0);

    for (const auto& [time, shown] : std::vector<std::pair<std::string, std::string>>{
             {"20261209041000.25-0500", "2026-12-09 04:10:00 -0500"}, {"202612", "2026-12"},
             {"2026-12-09T04:10:00Z", "2026-12-09 04:10:00 UTC"}, {"yesterday", "yesterday"}, {"2026120", "2026120"}})
        EXPECT_EQ(acquisitionText(time), shown);
}

struct TrendRun {
    int status;
    std::string out, err;
};

TrendRun trend(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    const int status = runTrend(args, out, err);
    return {status, out.str(), err.str()};
}

// The command: its refusals, its exit status, and the page as a browser shows it.
TEST(Trend, CommandWritesTheJsonAndAPage)
{
    const test::TempFolder tmp;
    const std::string history = tmp.str() + "/history.csv", out = tmp.str() + "/trend";
    std::vector<HistoryRun> runs = steadyRuns("<b>S</b>", 12, 5);
    std::ofstream(history) << historyText(runs);
    std::ofstream(tmp.str() + "/limits.json") << R"({"snr_a": {"min": 95}, "sfnr_a": {"min": 1}})";
    std::ofstream(tmp.str() + "/bad.json") << R"({"snr_a": {"minimum": 95}})";
    std::ofstream(tmp.str() + "/text.csv") << "software,snr_a\nq,high\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;
    } rows[] = {
        {{history}, 2, "usage: quelby-measure trend"},
        {{history, "-o", out, "--baseline", "1"}, 2, "--baseline: give a whole number of runs, 2 or more"},
        {{history, "-o", out, "--limits", tmp.str() + "/bad.json"}, 2, "snr_a has the key minimum"},
        {{tmp.str() + "/text.csv", "-o", out}, 2, "line 2: snr_a: high is not a number"},
        {{history, "-o", out, "--limits", tmp.str() + "/limits.json"}, 0, "<b>S</b> 77 Head 32 qa, axial: 12 runs"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.back());
        const TrendRun run = trend(row.args);
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_NE((run.out + run.err).find(row.says), std::string::npos) << run.out << run.err;
    }
    runs.push_back({"<b>S</b>", "20260320090000", "", 90});
    std::ofstream(history) << historyText(runs);
    const TrendRun flagged = trend({history, "-o", out, "--limits", tmp.str() + "/limits.json"});
    EXPECT_EQ(flagged.status, 1) << flagged.err;
    EXPECT_NE(flagged.out.find("snr_a 3sd limit"), std::string::npos) << flagged.out;
    EXPECT_NE(flagged.err.find("has no column sfnr_a; its limit is not charted"), std::string::npos) << flagged.err;

    const auto json = nlohmann::json::parse(test::fileText(out + "/trend.json"));
    const auto& snr = json["groups"][0]["figures"]["snr_a"];
    EXPECT_EQ(json["groups"][0]["key"]["station"], "<b>S</b>");
    EXPECT_EQ(snr["baseline"]["runs"], 10);
    EXPECT_EQ(snr["points"].size(), 13u);
    EXPECT_EQ(snr["points"][12], (nlohmann::json{{"acquired", "20260320090000"}, {"value", 90}, {"flags", {"3sd", "limit"}}}));
    const std::string page = test::fileText(out + "/trend.html");
    EXPECT_EQ(page.find("<b>S</b>"), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;S&lt;/b&gt;"), std::string::npos);
    EXPECT_NE(page.find("<title>2026-03-20 09:00:00: 90 [3sd] [limit]</title>"), std::string::npos);

    if (!test::chromiumPresent()) GTEST_SKIP() << "no Chromium";
    const test::RenderedPage shown = test::renderInChromium(out + "/trend.html", tmp.str() + "/browser");
    ASSERT_EQ(shown.status, 0) << shown.errors;
    EXPECT_NE(shown.dom.find("class=\"flagged\""), std::string::npos);
    EXPECT_GT(test::nonWhitePixels(shown.screenshot), 20000);
    EXPECT_TRUE(test::pageRequests(shown.netLog).empty());
}

}  // namespace
}  // namespace quelby
