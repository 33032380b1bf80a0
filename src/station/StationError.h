#pragma once

#include <stdexcept>

namespace quelby {

// What the station cannot do: bad usage, a rules file it refuses, or Orthanc
// not answering as it must; the message names the cause.
class StationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace quelby
