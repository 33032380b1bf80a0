#pragma once

#include "station/RestClient.h"

#include <string>
#include <vector>

namespace quelby {

// What the station needs of a series Orthanc holds; the texts are tags, untrusted.
struct SeriesInfo {
    std::string id, protocol, description, station;
    std::vector<std::string> instances;
};

struct StudyInfo {
    std::string id;  // Orthanc's
    std::string uid, date;
    bool stable = false;
    std::vector<SeriesInfo> series;
};

// The study `id` as Orthanc holds it now. Throws StationError.
StudyInfo readStudy(RestClient& rest, const std::string& id);

}  // namespace quelby
