#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quelby {

// quelby-measure trend HISTORY.csv -o DIR [--baseline N] [--limits FILE]; `args`
// after "trend". Writes DIR/trend.json and DIR/trend.html. Returns 1 when the
// latest run of any group is flagged, 0 when none is, 2 for unusable input.
int runTrend(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace quelby
