#pragma once

#include "FileText.h"

#include "qa/MeasureProgram.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quelby::test {

using Frame = std::vector<std::int32_t>;

// A report's JSON on one line without spaces, for finding a piece of it whatever its layout.
inline std::string compactJson(const std::string& text)
{
    const nlohmann::ordered_json j = nlohmann::ordered_json::parse(text, nullptr, false);
    return j.is_discarded() ? text : j.dump();
}

struct Outcome {
    int status;
    std::string out, err, report;
};

// quelby-measure run in this process with `args`, and the report it left in `outFolder`.
inline Outcome measure(std::vector<std::string> args, const std::string& outFolder)
{
    args.insert(args.begin(), "quelby-measure");
    std::ostringstream out, err;
    const int status = runMeasure(args, out, err);
    return {status, out.str(), err.str(), fileText(outFolder + "/report.json")};
}

}  // namespace quelby::test
