#pragma once

#include <string>

namespace quelby {

// Appends the row of a run's own history file (its header line, then the
// row, as quelby-measure --history writes into a new file) to the station's
// history, unless the very same row is there already: a row carries its run's
// time and folder, so a merge repeated after a crash adds nothing. Returns
// whether it appended. Throws StationError or InputError.
bool mergeHistoryRow(const std::string& runHistory, const std::string& stationHistory);

}  // namespace quelby
