#include "station/ChildProcess.h"
#include "station/Credentials.h"
#include "station/HistoryMerge.h"
#include "station/Ledger.h"
#include "station/OrthancConfiguration.h"
#include "station/PathPart.h"
#include "station/Rules.h"
#include "station/StationCommand.h"
#include "station/StationError.h"

#include "StationTestSupport.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace quelby {
namespace {

using test::TempFolder;
using test::fileText;

TEST(PathPart, KeepsATagInsideOneFolder)
{
    const struct {
        std::string text, part;
    } cases[] = {
        {"../../etc", "_.._etc"},
        {"x;touch /tmp/owned", "x_touch__tmp_owned"},
        {".hidden", "hidden"},
        {"MR-1.5T_a", "MR-1.5T_a"},
        {"", "fallback"},
        {"...", "fallback"},
        {"/", "fallback"},
        {"\xE7\x94\xBB", "fallback"},
        {std::string(100, 'a'), std::string(64, 'a')},
    };
    for (const auto& c : cases) EXPECT_EQ(pathPart(c.text, "fallback"), c.part) << c.text;
}

TEST(Rules, ReadsAndRefuses)
{
    const std::vector<Rule> rules = parseRules(
        R"([{"name": "pi", "series_a": "SNR*", "series_b": "PI*", "series_b_optional": true,
             "match": "description", "args": ["--stability"], "limits": "limits.json"},
            {"name": "snr", "series_a": "*"}])", "/site");
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].match, Rule::Match::Description);
    EXPECT_TRUE(rules[0].seriesBOptional);
    EXPECT_EQ(rules[0].args, std::vector<std::string>{"--stability"});
    EXPECT_EQ(rules[0].limits, "/site/limits.json");
    EXPECT_EQ(rules[1].match, Rule::Match::Protocol);
    EXPECT_TRUE(rules[1].limits.empty());

    const struct {
        std::string text, named;
    } refused[] = {
        {R"([{"name": "a", "series_a": "*", "seriesB": "x", "limit": "l"}])", "unknown keys: limit, seriesB"},
        {R"([{"name": "a", "series_a": "*"}, {"name": "a", "series_a": "*"}])", "used twice"},
        {R"([{"name": "a", "series_a": "*", "match": "uid"}])", "\"match\""},
        {R"([{"name": "a"}])", "\"series_a\""},
        {R"([{"name": "a", "series_a": "*", "args": "--stability"}])", "\"args\""},
        {R"({"name": "a", "series_a": "*"})", "list"},
    };
    for (const auto& r : refused) {
        try {
            parseRules(r.text, "/site");
            ADD_FAILURE() << "accepted " << r.text;
        } catch (const StationError& e) {
            EXPECT_NE(std::string(e.what()).find(r.named), std::string::npos) << e.what();
        }
    }
}

TEST(Rules, MatchesByPattern)
{
    EXPECT_TRUE(matchesPattern("SNR*", "SNR head"));
    EXPECT_TRUE(matchesPattern("*", ""));
    EXPECT_FALSE(matchesPattern("SNR*", "snr head"));
    EXPECT_FALSE(matchesPattern("SNR", "SNR head"));
}

TEST(StationCommand, ReadsOptionsAndRefusesBadOnes)
{
    const auto [dicomPort, httpPort] = test::freePorts();
    const StationCommand c =
        parseStationCommand({"--dir", "d", "--aet", "QA1", "--dicom-port", std::to_string(dicomPort), "--http-port",
                             std::to_string(httpPort), "--stable-age", "2"});
    EXPECT_EQ(c.dir, "d");
    EXPECT_EQ(c.aet, "QA1");
    EXPECT_EQ(c.dicomPort, dicomPort);
    EXPECT_EQ(c.httpPort, httpPort);
    EXPECT_EQ(c.stableAge, 2);
    EXPECT_EQ(parseStationCommand({"--dir", "d"}).aet, "QUELBY");
    const std::string port = std::to_string(httpPort);
    const std::vector<std::vector<std::string>> refused = {
        {},
        {"--dir", "d", "--dicom-port", "0"},
        {"--dir", "d", "--http-port", port + "x"},
        {"--dir", "d", "--dicom-port", port, "--http-port", port},
        {"--dir", "d", "--aet", "A_TITLE_OF_17_CHR"},
        {"--dir", "d", "--stable-age"},
        {"--dir", "d", "--jobs", "2"},
    };
    for (const auto& args : refused) EXPECT_THROW(parseStationCommand(args), StationError) << ::testing::PrintToString(args);
}

TEST(HistoryMerge, AddsARunsRowOnceHoweverOftenRepeated)
{
    TempFolder tmp;
    const std::string station = tmp.str() + "/history.csv";
    const std::string first = tmp.str() + "/first.csv", second = tmp.str() + "/second.csv";
    std::ofstream(first) << "a,b\n1,run one\n";
    std::ofstream(second) << "a,b\n2,run two\n";
    EXPECT_TRUE(mergeHistoryRow(first, station));
    EXPECT_FALSE(mergeHistoryRow(first, station));  // the station killed before it recorded the merge
    EXPECT_TRUE(mergeHistoryRow(second, station));
    EXPECT_EQ(fileText(station), "a,b\n1,run one\n2,run two\n");
    std::ofstream(first, std::ios::trunc) << "a,b\n1,cut";
    EXPECT_THROW(mergeHistoryRow(first, station), StationError);
}

TEST(Ledger, KeepsEachStepAcrossARestart)
{
    TempFolder tmp;
    {
        Ledger ledger(tmp.str());
        EXPECT_EQ(ledger.state("s1", "snr"), Ledger::State::None);
        ledger.record("s1", "snr", Ledger::State::Measured, "out1");
        ledger.record("s2", "snr", Ledger::State::Failed, "out2");
        ledger.record("s1", "snr", Ledger::State::Done, "out1");
    }
    const Ledger again(tmp.str());
    EXPECT_EQ(again.state("s1", "snr"), Ledger::State::Done);
    EXPECT_EQ(again.state("s2", "snr"), Ledger::State::Failed);
    EXPECT_EQ(again.state("s1", "other"), Ledger::State::None);
    std::ofstream(tmp.str() + "/ledger.json", std::ios::trunc) << R"({"s1/snr": {"state": "half", "output": ""}})";
    EXPECT_THROW(Ledger{tmp.str()}, StationError);
}

TEST(Credentials, CreatedPrivateOnceThenKept)
{
    TempFolder tmp;
    const Credentials made = stationCredentials(tmp.str());
    EXPECT_GE(made.password.size(), 20u);
    struct stat st {};
    ASSERT_EQ(::stat((tmp.str() + "/credentials").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(fileText(tmp.str() + "/credentials"), made.user + ":" + made.password + "\n");
    const Credentials kept = stationCredentials(tmp.str());
    EXPECT_EQ(kept.password, made.password);
    EXPECT_NE(stationCredentials(TempFolder().str()).password, made.password);
}

TEST(OrthancConfiguration, TakesSiteOptionsButNotTheStationsOwn)
{
    TempFolder tmp;
    const std::string site = tmp.str() + "/orthanc-site.json";
    const nlohmann::json own = orthancConfiguration(parseStationCommand({"--dir", tmp.str()}), {"u", "p"});
    EXPECT_EQ(own["RemoteAccessAllowed"], false);
    EXPECT_EQ(own["RegisteredUsers"]["u"], "p");
    EXPECT_EQ(own["Plugins"], nlohmann::json::array());
    EXPECT_EQ(withSiteOptions(own, site), own);
    std::ofstream(site) << R"({"DicomModalities": {"pacs": ["PACS", "10.0.0.5", 104]}})";
    EXPECT_EQ(withSiteOptions(own, site)["DicomModalities"]["pacs"][2], 104);
    std::ofstream(site, std::ios::trunc) << R"({"RemoteAccessAllowed": true, "Plugins": ["/usr/share/orthanc/plugins"]})";
    try {
        withSiteOptions(own, site);
        ADD_FAILURE() << "site options override the station's";
    } catch (const StationError& e) {
        EXPECT_NE(std::string(e.what()).find("Plugins, RemoteAccessAllowed"), std::string::npos) << e.what();
    }
}

TEST(ChildProcess, PassesArgumentsWithoutAShell)
{
    TempFolder tmp;
    const std::string owned = tmp.str() + "/owned", out = tmp.str() + "/out.txt";
    ChildProcess child({"/usr/bin/printf", "%s|", "x;touch " + owned, "$(touch " + owned + ")"}, out, out);
    EXPECT_EQ(child.waitFor(std::chrono::seconds(10)), 0);
    EXPECT_EQ(fileText(out), "x;touch " + owned + "|$(touch " + owned + ")|");
    EXPECT_FALSE(std::filesystem::exists(owned));
    EXPECT_THROW(ChildProcess({tmp.str() + "/none"}, out, out), StationError);
}

}  // namespace
}  // namespace quelby
