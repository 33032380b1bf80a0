#include "TempFolder.h"
#include "qa/OutputFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

using namespace quelby;

namespace {

std::set<std::string> dicomFiles(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder + "/dicom", ec)) names.insert(e.path().filename().string());
    return names;
}

void run(const std::string& folder, const std::vector<std::string>& dicom)
{
    OutputFolder out(folder);
    std::vector<OutputFolder::File> files;
    for (const std::string& name : dicom) files.push_back({name, [name] { return std::vector<char>(name.begin(), name.end()); }});
    out.write(files);
    const std::string report = R"({"software": "quelby-measure"})";
    out.write("report.json", report);
    out.finish();
}

}  // namespace

TEST(DicomFolder, ResultsGoIntoTheSubfolderAndEveryOneThisRunDoesNotWriteGoes)
{
    const test::TempFolder tmp;
    const std::string folder = tmp.str();
    struct Step {
        std::vector<std::string> written;
        std::set<std::string> left;
    };
    // What a killed run left, in no report, and a file of the user's.
    std::filesystem::create_directories(folder + "/dicom");
    std::ofstream(folder + "/dicom/g_mr_009.dcm") << "killed";
    std::ofstream(folder + "/dicom/notes.txt") << "mine";
    const Step steps[] = {
        {{"dicom/snr_a_pm.dcm", "dicom/snr_a_mr_001.dcm", "dicom/snr_a_mr_002.dcm"},
         {"snr_a_pm.dcm", "snr_a_mr_001.dcm", "snr_a_mr_002.dcm", "notes.txt"}},
        {{"dicom/snr_a_mr_001.dcm"}, {"snr_a_mr_001.dcm", "notes.txt"}},
        {{}, {"notes.txt"}},
    };
    for (const Step& step : steps) {
        run(folder, step.written);
        EXPECT_EQ(dicomFiles(folder), step.left);
    }
    std::ifstream in(folder + "/dicom/notes.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "mine");

    OutputFolder out(folder);
    for (const char* name : {"dicom/../report.csv", "other/snr_a_pm.dcm", "dicom/sub/g_pm.dcm", "/tmp/g_pm.dcm"})
        EXPECT_THROW(out.write(name, std::string("x")), std::invalid_argument) << name;
}
