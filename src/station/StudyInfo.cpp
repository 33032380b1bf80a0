#include "station/StudyInfo.h"

#include "station/StationError.h"

namespace quelby {

namespace {

std::string tag(const nlohmann::json& resource, const char* name)
{
    const nlohmann::json tags = resource.value("MainDicomTags", nlohmann::json::object());
    const auto found = tags.find(name);
    return found != tags.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// Orthanc's identifiers are hexadecimal groups; anything else is not put into a URL.
std::string identifier(const nlohmann::json& value)
{
    const std::string id = value.is_string() ? value.get<std::string>() : std::string();
    if (id.empty() || id.find_first_not_of("0123456789abcdef-") != std::string::npos)
        throw StationError("Orthanc answered an identifier that is not one");
    return id;
}

}  // namespace

StudyInfo readStudy(RestClient& rest, const std::string& id)
{
    const nlohmann::json study = rest.getJson("/studies/" + id);
    StudyInfo info{id, tag(study, "StudyInstanceUID"), tag(study, "StudyDate"), study.value("IsStable", false), {}};
    for (const nlohmann::json& series : rest.getJson("/studies/" + id + "/series")) {
        SeriesInfo s{identifier(series.value("ID", nlohmann::json())), tag(series, "ProtocolName"),
                     tag(series, "SeriesDescription"), tag(series, "StationName"), {}};
        for (const nlohmann::json& instance : series.value("Instances", nlohmann::json::array()))
            s.instances.push_back(identifier(instance));
        info.series.push_back(std::move(s));
    }
    return info;
}

}  // namespace quelby
