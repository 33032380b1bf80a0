#pragma once

#include "engine/io/SeriesSource.h"
#include "qa/MeasureCommand.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace quelby {

// A stack to measure and the source it was found in.
struct SeriesStack {
    const SeriesSource* source = nullptr;
    const Stack* stack = nullptr;
};

// Measures the stack of SERIES_A, and of SERIES_B for the g-factor when `b` is
// given, into `folder`: maps, pictures, report.json and report.csv, then the
// history row and the limits. `warnings` are what choosing the stacks said.
// Returns the exit status; throws InputError.
int measurePair(const MeasureCommand& command, const std::vector<std::string>& args, const SeriesStack& a,
                const SeriesStack* b, const std::string& folder, std::ostream& out, std::ostream& err,
                std::vector<std::string> warnings);

}  // namespace quelby
