#pragma once

#include <string>

namespace quelby {

// The quelby-measure to run: `given` when not empty, else the one beside
// this program, else the first on PATH. Throws StationError when there is none.
std::string measureProgram(const std::string& given);

}  // namespace quelby
