#pragma once

#include "station/ChildProcess.h"
#include "station/RestClient.h"

#include <memory>
#include <string>

namespace quelby {

// The station's Orthanc, run from its configuration in DIR, its log in
// DIR/orthanc.log and its process id in DIR/orthanc.pid, so that a start after
// the station was killed ends an Orthanc of DIR that lives on.
class OrthancProcess {
public:
    OrthancProcess(std::string dir, std::string configuration);
    ~OrthancProcess();

    // Starts Orthanc and waits until its REST interface answers `rest`. Throws StationError.
    void start(RestClient& rest);
    bool running();
    // SIGTERM, then SIGKILL after 20 s.
    void stop();

private:
    void endStale() const;

    std::string dir_, configuration_;
    std::unique_ptr<ChildProcess> child_;
};

}  // namespace quelby
