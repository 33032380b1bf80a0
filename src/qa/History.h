#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quelby {

// Appends `row` to the history CSV at `path`, creating it with `header`. Rows
// are never rewritten, and a run holding the file's lock writes its row whole,
// so runs at the same time never interleave. Throws InputError.
void appendHistory(const std::string& path, const std::string& header, const std::string& row);

// The limits in a JSON file, {"figure": {"min": a, "max": b}, ...}, checked
// against the run's figures; the sentences of the limits not met. Throws
// InputError for a file that cannot be read or names a figure the run lacks.
std::vector<std::string> checkLimits(const std::string& path,
                                     const std::vector<std::pair<std::string, double>>& figures);

}  // namespace quelby
