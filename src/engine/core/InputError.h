#pragma once

#include <stdexcept>

namespace quelby {

// Input that cannot be measured: the message names the file or folder and says why.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace quelby
