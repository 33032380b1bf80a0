#pragma once

#include "qa/MeasureProgram.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quelby::test {

using Frame = std::vector<std::int32_t>;

inline std::string fileText(const std::string& path)
{
    std::ifstream in(path);
    return std::string{std::istreambuf_iterator<char>(in), {}};
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
