#pragma once

#include <string>

namespace quelby {

// The station's log: each line stamped with the UTC time, on standard error
// and appended to DIR/station.log.
class StationLog {
public:
    explicit StationLog(std::string dir) : path_(std::move(dir) + "/station.log") {}
    void line(const std::string& text) const;

private:
    std::string path_;
};

}  // namespace quelby
