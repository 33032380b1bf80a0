#include "station/ProgramLookup.h"

#include "station/StationError.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <unistd.h>

namespace quelby {

namespace {

bool runnable(const std::filesystem::path& path)
{
    return std::filesystem::is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string measureProgram(const std::string& given)
{
    if (!given.empty()) {
        if (!runnable(given)) throw StationError("--measure: " + given + " is not a program that can be run");
        return std::filesystem::absolute(given).string();
    }
    std::error_code ec;
    const std::filesystem::path beside = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "quelby-measure";
    if (!ec && runnable(beside)) return beside.string();
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && runnable(std::filesystem::path(folder) / "quelby-measure"))
            return std::filesystem::absolute(std::filesystem::path(folder) / "quelby-measure").string();
    throw StationError("no quelby-measure beside this program nor on PATH; give --measure");
}

}  // namespace quelby
