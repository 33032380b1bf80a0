// The station end to end: Orthanc started by quelby-station on free loopback
// ports in a temporary folder, studies sent with dcmtk's storescu, measured by
// the quelby-measure of this build.
#include "station/ChildProcess.h"
#include "station/Credentials.h"
#include "station/RestClient.h"

#include "DicomSeries.h"
#include "PhantomSeries.h"
#include "StationTestSupport.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace quelby {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TempFolder;
using test::fileText;
using test::freePorts;

constexpr const char* ParametricMapClass = "1.2.840.10008.5.1.4.1.1.30";

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(200ms);
    }
    return true;
}

// A study of `images` single-image series of one phantom slice, as a scanner
// sends a QA run repeated series by series.
void writeStudy(const std::string& folder, const std::string& studyUid, const std::string& protocol,
                const std::string& station, int images)
{
    fs::create_directories(folder);
    PhantomSeries phantom;
    phantom.seed = std::hash<std::string>()(studyUid);
    GaussianNoise noise(phantom.seed);
    for (int i = 1; i <= images; ++i) {
        const std::vector<std::int16_t> image = phantomImage(phantom, noise);
        DicomLayout layout;
        layout.seriesUid = studyUid + "." + std::to_string(i);
        layout.protocolName = protocol;
        layout.seriesDescription = "phantom";
        layout.pixelSpacing = "1\\1";
        layout.imagePosition = "-128\\-128\\0";
        layout.instanceNumber = 1;
        layout.attributes = {{0x0020000D, studyUid}, {0x00100020, "QA"}, {0x00080020, "20261209"},
                             {0x00081010, station}, {0x00200011, std::to_string(i)}, {0x00180050, "5"},
                             {0x00080018, studyUid + "." + std::to_string(i) + ".1"}};
        writeDicomImage(folder + "/" + std::to_string(i) + ".dcm", layout, std::vector<std::int32_t>(image.begin(), image.end()));
    }
}

int send(int port, const std::string& folder, const std::string& log)
{
    ChildProcess storescu({"/usr/bin/storescu", "-aec", "QUELBY", "+sd", "127.0.0.1", std::to_string(port), folder}, log, log);
    return storescu.waitFor(30s).value_or(-1);
}

class StationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::tie(dicomPort, httpPort) = freePorts();
        std::ofstream(tmp.str() + "/rules.json") << R"([{"name": "snr", "series_a": "*"},
                                                        {"name": "pair", "series_a": "none", "series_b": "*"}])";
    }

    void start()
    {
        station = std::make_unique<ChildProcess>(
            std::vector<std::string>{QUELBY_STATION, "--dir", dir, "--rules", tmp.str() + "/rules.json", "--dicom-port",
                                     std::to_string(dicomPort), "--http-port", std::to_string(httpPort),
                                     "--stable-age", "2", "--measure", QUELBY_MEASURE},
            tmp.str() + "/station.out", tmp.str() + "/station.err");
        ASSERT_TRUE(eventually([&] { return fs::exists(dir + "/credentials") && rest().get("/system").status == 200; }, 30s))
            << fileText(tmp.str() + "/station.err");
    }

    RestClient rest(bool authenticates = true)
    {
        return RestClient(httpPort, stationCredentials(dir), authenticates);
    }

    // The history's rows whose series came from this Orthanc study.
    int rowsOf(const std::string& studyUid)
    {
        const nlohmann::json found = rest().postJson("/tools/lookup", studyUid);
        if (found.empty()) return -1;
        const std::string id = found[0]["ID"];
        std::istringstream rows(fileText(dir + "/history.csv"));
        int count = 0;
        for (std::string row; std::getline(rows, row);) count += row.find(id) != std::string::npos;
        return count;
    }

    TempFolder tmp;
    std::string dir = tmp.str() + "/station";
    int dicomPort = 0, httpPort = 0;
    std::unique_ptr<ChildProcess> station;
};

TEST_F(StationTest, MeasuresEachStudyOnceAndStoresTheResultsBack)
{
    start();
    EXPECT_EQ(rest(false).get("/studies").status, 401);
    const std::string owned = tmp.str() + "/owned";
    writeStudy(tmp.str() + "/qa", "1.2.826.0.1.3680043.10.9.1", "x;touch " + owned, "../../etc", 16);
    writeStudy(tmp.str() + "/one", "1.2.826.0.1.3680043.10.9.2", "single", "MR1", 1);
    ASSERT_EQ(send(dicomPort, tmp.str() + "/qa", tmp.str() + "/storescu.log"), 0) << fileText(tmp.str() + "/storescu.log");
    ASSERT_EQ(send(dicomPort, tmp.str() + "/one", tmp.str() + "/storescu.log"), 0);

    const std::string results = dir + "/results/_.._etc/20261209_snr_1.2.826.0.1.3680043.10.9.1";
    const std::string failed = dir + "/results/MR1/20261209_snr_1.2.826.0.1.3680043.10.9.2";
    ASSERT_TRUE(eventually([&] { return fs::exists(failed + "/error.txt") && rowsOf("1.2.826.0.1.3680043.10.9.1") == 1; }, 40s))
        << fileText(dir + "/station.log") << fileText(results + "/measure.log");
    EXPECT_TRUE(fs::exists(results + "/report.json"));
    EXPECT_NE(fileText(failed + "/error.txt").find("repetition"), std::string::npos) << fileText(failed + "/error.txt");
    EXPECT_FALSE(fs::exists(owned));
    EXPECT_FALSE(fs::exists(tmp.str() + "/etc"));
    EXPECT_FALSE(fs::exists(dir + "/results/MR1/20261209_pair_1.2.826.0.1.3680043.10.9.2"));
    EXPECT_TRUE(eventually([&] { return fs::exists(dir + "/trend/trend.html"); }, 10s)) << fileText(dir + "/trend.log");

    // The parametric map is stored back into the QA study as a series of its own.
    const std::string study = rest().postJson("/tools/lookup", "1.2.826.0.1.3680043.10.9.1")[0]["ID"];
    bool parametric = false;
    for (const nlohmann::json& instance : rest().getJson("/studies/" + study + "/instances"))
        parametric = parametric || rest().get("/instances/" + instance["ID"].get<std::string>() + "/metadata/SopClassUid").body ==
                                       ParametricMapClass;
    EXPECT_TRUE(parametric);

    // Sent, then the station killed before the study is stable: measured once after the restart.
    writeStudy(tmp.str() + "/later", "1.2.826.0.1.3680043.10.9.3", "qa", "MR1", 16);
    ASSERT_EQ(send(dicomPort, tmp.str() + "/later", tmp.str() + "/storescu.log"), 0);
    const pid_t orthanc = std::stoi(fileText(dir + "/orthanc.pid"));
    station->signal(SIGKILL);
    station->waitFor(10s);
    EXPECT_TRUE(eventually([&] { return ::kill(orthanc, 0) != 0; }, 20s)) << "Orthanc lives on";
    start();
    ASSERT_TRUE(eventually([&] { return rowsOf("1.2.826.0.1.3680043.10.9.3") == 1; }, 40s)) << fileText(dir + "/station.log");
    std::this_thread::sleep_for(3s);  // past the stable age of the results stored back
    EXPECT_EQ(rowsOf("1.2.826.0.1.3680043.10.9.1"), 1);
    EXPECT_EQ(rowsOf("1.2.826.0.1.3680043.10.9.3"), 1);

    station->signal(SIGTERM);
    EXPECT_EQ(station->waitFor(30s), 0);
}

}  // namespace
}  // namespace quelby

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
