#pragma once

#include <string>

namespace quelby {

// The one user of the station's REST and web interface.
struct Credentials {
    std::string user, password;
};

// The credentials kept in `dir`/credentials (one line "user:password", mode
// 0600), created with a random password on the first start. Throws StationError.
Credentials stationCredentials(const std::string& dir);

}  // namespace quelby
