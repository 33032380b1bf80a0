#pragma once

#include "export/FileCalls.h"

#include <string>
#include <vector>

namespace quelby {

// Appends `row` to the history CSV at `path`, creating it with `header`. Rows
// are never rewritten, and a run holding the file's lock writes its row whole,
// so runs at the same time never interleave. A row that cannot be written and
// synced whole is cut off again, so the earlier rows stay as they were. Throws
// InputError naming the cause.
void appendHistory(const std::string& path, const std::string& header, const std::string& row,
                   const FileCalls& calls = systemFileCalls());

}  // namespace quelby
