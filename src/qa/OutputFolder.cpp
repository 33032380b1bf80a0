#include "qa/OutputFolder.h"

#include "engine/core/InputError.h"
#include "engine/kernel/TwoThreads.h"
#include "export/FileReplace.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

namespace quelby {

namespace {

// Every name this program writes into an output folder.
const std::set<std::string>& ownNames()
{
    static const std::set<std::string> names{
        "signal_a.nii.gz", "noise_a.nii.gz", "snr_a.nii.gz", "signal_b.nii.gz", "noise_b.nii.gz", "snr_b.nii.gz",
        "g.nii.gz",        "snr_a.png",      "snr_b.png",    "g.png",           "drift_a.png",    "drift_b.png",
        "report.csv"};
    return names;
}

// The outputs an earlier run's report.json lists, only those of this program's names.
std::set<std::string> earlierOutputs(const std::string& folder)
{
    std::ifstream in(folder + "/report.json");
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

}  // namespace

void OutputFolder::checkNotAFile(const std::string& folder)
{
    std::error_code ec;
    if (std::filesystem::exists(folder, ec) && !std::filesystem::is_directory(folder, ec))
        throw InputError(folder + ": is a file, not a folder");
}

OutputFolder::OutputFolder(std::string folder) : folder_(std::move(folder))
{
    checkNotAFile(folder_);
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (!std::filesystem::is_directory(folder_))
        throw InputError(folder_ + ": the output folder cannot be made (" + ec.message() + ")");
    earlier_ = earlierOutputs(folder_);
}

void OutputFolder::write(const std::string& name, std::span<const char> bytes)
{
    const std::string path = folder_ + "/" + name;
    try {
        replaceFile(path, folder_, bytes, systemFileCalls(), false);
    } catch (const FileWriteError& e) {
        throw InputError(path + ": cannot be written (" + e.what() + ")");
    }
    const std::lock_guard lock(writing_);
    written_.insert(name);
}

void OutputFolder::write(const std::vector<File>& files)
{
    forEachOnTwoThreads(files.size(), [&](std::size_t k) { write(files[k].name, files[k].make()); });
}

void OutputFolder::finish()
{
    for (const std::string& name : earlier_)
        if (!written_.count(name)) {
            std::error_code ec;
            std::filesystem::remove(folder_ + "/" + name, ec);
        }
    try {
        syncFolder(folder_);
    } catch (const FileWriteError& e) {
        throw InputError(folder_ + ": cannot be synced (" + e.what() + ")");
    }
}

}  // namespace quelby
