#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quelby {

inline constexpr int ExitDone = 0;
inline constexpr int ExitLimitsNotMet = 1;
inline constexpr int ExitUnmeasurable = 2;

// The whole of quelby-measure: `args` as main receives them, the program's
// name first. Returns the exit status.
int runMeasure(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace quelby
