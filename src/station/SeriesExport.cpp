#include "station/SeriesExport.h"

#include "station/StationError.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace quelby {

void exportSeries(RestClient& rest, const std::vector<SeriesInfo>& series, const std::string& folder)
{
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    int number = 0;
    for (const SeriesInfo& s : series)
        for (const std::string& instance : s.instances) {
            const std::string bytes = rest.getBytes("/instances/" + instance + "/file");
            char name[32];
            std::snprintf(name, sizeof name, "/%06d.dcm", ++number);
            std::ofstream out(folder + name, std::ios::binary);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            if (!out.flush()) throw StationError(folder + name + ": cannot be written");
        }
}

}  // namespace quelby
