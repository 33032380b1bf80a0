#pragma once

#include "station/Credentials.h"

#include <nlohmann/json.hpp>

#include <QNetworkAccessManager>

#include <string>

namespace quelby {

// Blocking calls to Orthanc's REST interface on this machine, with the
// station's credentials (or none). Needs a QCoreApplication.
class RestClient {
public:
    struct Reply {
        int status = 0;  // the HTTP status, 0 when there was no answer
        std::string body;
    };

    RestClient(int port, Credentials credentials, bool authenticates = true);

    Reply get(const std::string& path);
    Reply post(const std::string& path, const std::string& body);
    // The answer as JSON; throws StationError for any status but 200.
    nlohmann::json getJson(const std::string& path);
    // The body of a 200 answer; throws StationError otherwise.
    std::string getBytes(const std::string& path);
    nlohmann::json postJson(const std::string& path, const std::string& body);

private:
    Reply send(const std::string& path, const std::string* body);

    std::string base_;
    std::string authorization_;
    QNetworkAccessManager manager_;
};

}  // namespace quelby
