#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quelby {

// A history of earlier columns carried on to a new header, so that a new
// version's rows can be appended to it. The old file is never changed.
struct CarriedHistory {
    std::string text;                       // the new file: the header, then the old rows
    std::size_t rows = 0;                   // the rows carried
    std::vector<std::string> addedColumns;  // empty in every row carried
    std::vector<int> cutShortLines;         // the old rows left out, cut short by a run's failure
};

// The old history's rows under `header`, each field in the column of its name.
// Throws InputError when the old history holds a column the header lacks.
CarriedHistory carryHistory(const std::string& oldPath, const std::vector<std::string>& header);

// quelby-measure history-carry OLD.csv NEW.csv --columns report.csv; `args`
// after "history-carry". NEW must not exist. Returns the exit status.
int runHistoryCarry(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace quelby
