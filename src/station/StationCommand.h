#pragma once

#include <string>
#include <vector>

namespace quelby {

struct StationCommand {
    bool help = false;
    std::string dir;
    std::string rulesFile;  // empty: DIR/rules.json when present, else one rule for every series
    std::string aet = "QUELBY";
    int dicomPort = 4242;
    int httpPort = 8042;
    int stableAge = 60;  // seconds without a new instance before a study is measured
    std::string measure;  // empty: the quelby-measure beside this program, then PATH
};

// Reads the arguments after the program's name. Throws StationError.
StationCommand parseStationCommand(const std::vector<std::string>& args);

std::string stationUsage();

}  // namespace quelby
