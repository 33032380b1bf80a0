#include "qa/OutputFolder.h"

#include "engine/core/InputError.h"
#include "engine/kernel/TwoThreads.h"
#include "export/FileReplace.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {

namespace {

// Every name this program writes into an output folder.
const std::set<std::string>& ownNames()
{
    static const std::set<std::string> names{
        "signal_a.nii.gz", "noise_a.nii.gz", "snr_a.nii.gz", "signal_b.nii.gz", "noise_b.nii.gz", "snr_b.nii.gz",
        "g.nii.gz",        "snr_a.png",      "snr_b.png",    "g.png",           "drift_a.png",    "drift_b.png",
        "sfnr_a.nii.gz",   "sfnr_b.nii.gz",  "fluctuation_a.nii.gz",  "fluctuation_b.nii.gz",
        "static_noise_a.nii.gz", "static_noise_b.nii.gz", "stability_a.png", "stability_b.png",
        "report.csv"};
    return names;
}

// A DICOM result, the one kind of output in a subfolder: "dicom/snr_a_pm.dcm", "dicom/g_mr_012.dcm".
bool dicomResultName(const std::string& name)
{
    static const std::regex pattern("dicom/[a-z0-9_]+_(pm|mr_[0-9]{3,})\\.dcm");
    return std::regex_match(name, pattern);
}

// The DICOM results already in the folder, whichever run wrote them: a killed
// run's are in no report, and a run of fewer slices writes fewer.
std::set<std::string> dicomResultsIn(const std::string& folder)
{
    std::set<std::string> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder + "/dicom", ec)) {
        const std::string name = "dicom/" + entry.path().filename().string();
        if (dicomResultName(name) && entry.is_regular_file(ec)) found.insert(name);
    }
    return found;
}

// Where the earlier report waits while the new files are put in place, so that
// a run killed meanwhile leaves no report and the next run still knows which
// files the earlier one wrote. Not a temporary's name: it outlives a killed run.
constexpr const char* EarlierReport = ".quelby-earlier-report.json";

// The outputs an earlier run's report lists, only those of this program's names.
std::set<std::string> earlierOutputs(const std::string& path)
{
    std::ifstream in(path);
    if (!in) return {};
    const nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
    if (!report.is_object() || report.find("software") == report.end() || report["software"] != "quelby-measure")
        return {};
    std::set<std::string> listed{"report.csv"};
    for (const char* key : {"maps", "pictures"}) {
        const auto found = report.find(key);
        if (found == report.end() || !found->is_array()) continue;
        for (const auto& name : *found)
            if (name.is_string() && ownNames().count(name.get<std::string>())) listed.insert(name.get<std::string>());
    }
    return listed;
}

// Rewriting the files in place would leave them part written on a failure:
// the earlier results are kept instead.
[[noreturn]] void refuseFolder(const std::string& folder, int error)
{
    throw InputError(folder + ": the output folder takes no new file (" + std::strerror(error) +
                     "); its earlier results are left as they are");
}

void removeTemporaries(const std::string& folder)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (isTemporaryName(entry.path().filename().string()) && entry.is_regular_file(ec))
            std::filesystem::remove(entry.path(), ec);
}

}  // namespace

void OutputFolder::checkUsable(const std::string& folder)
{
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) return;
    if (!std::filesystem::is_directory(folder, ec)) throw InputError(folder + ": is a file, not a folder");
    if (::access(folder.c_str(), W_OK | X_OK) != 0) refuseFolder(folder, errno);
}

OutputFolder::OutputFolder(std::string folder, const FileCalls& calls) : folder_(std::move(folder)), calls_(calls)
{
    checkUsable(folder_);
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (!std::filesystem::is_directory(folder_))
        throw InputError(folder_ + ": the output folder cannot be made (" + ec.message() + ")");
    removeTemporaries(folder_);
    earlier_ = earlierOutputs(folder_ + "/report.json");
    earlier_.merge(earlierOutputs(folder_ + "/" + EarlierReport));
    earlier_.merge(dicomResultsIn(folder_));
}

OutputFolder::~OutputFolder()
{
    for (const auto& [name, temporary] : staged_) ::unlink(temporary.c_str());
}

void OutputFolder::write(const std::string& name, std::span<const char> bytes)
{
    if (name.find('/') != std::string::npos && !dicomResultName(name))
        throw std::invalid_argument(name + ": not a name of this program's outputs");
    std::string temporary;
    try {
        temporary = writeTemporary(folder_, bytes, 0666, calls_);
    } catch (const FileWriteError& e) {
        if (e.error() == EACCES || e.error() == EPERM) refuseFolder(folder_, e.error());
        throw InputError(folder_ + "/" + name + ": cannot be written (" + e.what() + ")");
    }
    const std::lock_guard lock(writing_);
    const auto [at, added] = staged_.emplace(name, temporary);
    if (!added) ::unlink(std::exchange(at->second, temporary).c_str());
}

void OutputFolder::write(const std::vector<File>& files)
{
    forEachOnTwoThreads(files.size(), [&](std::size_t k) { write(files[k].name, files[k].make()); });
}

void OutputFolder::sync()
{
    try {
        syncFolder(folder_, calls_);
        if (std::filesystem::is_directory(folder_ + "/dicom")) syncFolder(folder_ + "/dicom", calls_);
    } catch (const FileWriteError& e) {
        throw InputError(folder_ + ": cannot be synced (" + e.what() + ")");
    }
}

// The earlier report goes aside, and that reaches the disk, before any new file
// is in place: no kill can leave new maps beside it.
void OutputFolder::removeEarlierReport()
{
    const std::string report = folder_ + "/report.json", aside = folder_ + "/" + EarlierReport;
    if (calls_.rename(report.c_str(), aside.c_str()) != 0 && errno != ENOENT)
        throw InputError(report + ": the earlier report cannot be put aside (" + std::strerror(errno) + ")");
    const std::string csv = folder_ + "/report.csv";
    if (::unlink(csv.c_str()) != 0 && errno != ENOENT)
        throw InputError(csv + ": the earlier report cannot be removed (" + std::strerror(errno) + ")");
    sync();
}

void OutputFolder::moveIntoPlace(const std::string& name)
{
    const auto staged = staged_.find(name);
    const std::string target = folder_ + "/" + name;
    if (dicomResultName(name) && ::mkdir((folder_ + "/dicom").c_str(), 0777) != 0 && errno != EEXIST)
        throw InputError(folder_ + "/dicom: cannot be made (" + std::strerror(errno) + ")");
    if (calls_.rename(staged->second.c_str(), target.c_str()) != 0)
        throw InputError(target + ": cannot be put in place (" + std::strerror(errno) + ")");
    staged_.erase(staged);
}

void OutputFolder::removeStale()
{
    for (const std::string& name : earlier_)
        if (name != "report.csv" && !staged_.count(name)) {
            std::error_code ec;
            std::filesystem::remove(folder_ + "/" + name, ec);
        }
    ::rmdir((folder_ + "/dicom").c_str());  // only when empty
}

void OutputFolder::finish()
{
    removeEarlierReport();
    removeStale();
    std::vector<std::string> names;
    for (const auto& [name, temporary] : staged_)
        if (name != "report.json") names.push_back(name);
    for (const std::string& name : names) moveIntoPlace(name);
    // The files in place on the disk before the report that vouches for them.
    sync();
    if (staged_.count("report.json")) moveIntoPlace("report.json");
    ::unlink((folder_ + "/" + EarlierReport).c_str());
    sync();
}

}  // namespace quelby
