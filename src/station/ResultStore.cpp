#include "station/ResultStore.h"

#include "station/StationError.h"

#include <filesystem>
#include <fstream>

namespace quelby {

namespace {

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw StationError(path + ": cannot be read");
    return std::string{std::istreambuf_iterator<char>(in), {}};
}

// A listed file must lie inside the results folder.
std::string resultFile(const std::string& output, const nlohmann::json& listed)
{
    const std::filesystem::path relative = listed.is_string() ? listed.get<std::string>() : std::string();
    bool inside = !relative.empty() && relative.is_relative();
    for (const auto& part : relative) inside = inside && part != "..";
    if (!inside) throw StationError(output + "/report.json: lists a DICOM file outside its folder");
    return output + "/" + relative.string();
}

}  // namespace

int storeResults(RestClient& rest, const std::string& output)
{
    const nlohmann::json report = nlohmann::json::parse(fileBytes(output + "/report.json"), nullptr, false);
    if (report.is_discarded()) throw StationError(output + "/report.json: not JSON");
    int stored = 0;
    for (const nlohmann::json& object : report.value("dicom", nlohmann::json::array()))
        for (const nlohmann::json& listed : object.value("files", nlohmann::json::array())) {
            const std::string path = resultFile(output, listed);
            const RestClient::Reply reply = rest.post("/instances", fileBytes(path));
            if (reply.status != 200) throw StationError(path + ": Orthanc refused it (HTTP " + std::to_string(reply.status) + ")");
            ++stored;
        }
    return stored;
}

}  // namespace quelby
