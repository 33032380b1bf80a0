#include "station/StationLog.h"

#include <ctime>
#include <fstream>
#include <iostream>

namespace quelby {

void StationLog::line(const std::string& text) const
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    const std::string line = std::string(stamp) + " " + text + "\n";
    std::cerr << line << std::flush;
    std::ofstream(path_, std::ios::app) << line;
}

}  // namespace quelby
