#include "station/OrthancConfiguration.h"

#include "station/StationError.h"
#include "export/FileReplace.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quelby {

nlohmann::json orthancConfiguration(const StationCommand& command, const Credentials& credentials)
{
    const std::string storage = std::filesystem::absolute(command.dir + "/orthanc-storage").lexically_normal().string();
    return {
        {"Name", "quelby-station"},
        {"StorageDirectory", storage},
        {"IndexDirectory", storage},
        {"Plugins", nlohmann::json::array()},
        {"DicomServerEnabled", true},
        {"DicomAet", command.aet},
        {"DicomPort", command.dicomPort},
        {"DicomCheckCalledAet", true},
        {"DicomAlwaysAllowEcho", true},
        {"DicomAlwaysAllowStore", true},
        {"HttpServerEnabled", true},
        {"HttpPort", command.httpPort},
        {"RemoteAccessAllowed", false},
        {"AuthenticationEnabled", true},
        {"RegisteredUsers", {{credentials.user, credentials.password}}},
        {"StableAge", command.stableAge},
        {"ExecuteLuaEnabled", false},
        {"RestApiWriteToFileSystemEnabled", false},
    };
}

nlohmann::json withSiteOptions(nlohmann::json configuration, const std::string& sitePath)
{
    std::ifstream in(sitePath);
    if (!in) return configuration;
    const nlohmann::json site = nlohmann::json::parse(in, nullptr, false);
    if (site.is_discarded() || !site.is_object()) throw StationError(sitePath + ": give a JSON object of Orthanc options");
    std::string taken;
    for (const auto& [key, value] : site.items()) {
        if (configuration.contains(key)) taken += (taken.empty() ? "" : ", ") + key;
        else configuration[key] = value;
    }
    if (!taken.empty()) throw StationError(sitePath + ": the station sets these options itself: " + taken);
    return configuration;
}

std::string writeOrthancConfiguration(const StationCommand& command, const Credentials& credentials)
{
    const std::string path = command.dir + "/orthanc.json";
    const std::string text =
        withSiteOptions(orthancConfiguration(command, credentials), command.dir + "/orthanc-site.json").dump(2) + "\n";
    try {
        // Private before the password is in it: the replacement keeps the file's mode.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ::close(fd) != 0 || ::chmod(path.c_str(), 0600) != 0) throw FileWriteError(errno);
        replaceFile(path, command.dir, text);
    } catch (const std::exception& e) {
        throw StationError(path + ": cannot be written (" + e.what() + ")");
    }
    return path;
}

}  // namespace quelby
