#pragma once

#include <string>

namespace quelby {

// A new UID under the 2.25 root: a random (version 4) UUID as one decimal number.
std::string newDicomUid();

// Whether `uid` may stand as a UID: up to 64 characters, dot-separated numbers without leading zeros.
bool validDicomUid(const std::string& uid);

}  // namespace quelby
