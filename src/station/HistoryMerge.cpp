#include "station/HistoryMerge.h"

#include "station/StationError.h"
#include "qa/History.h"

#include <fstream>

namespace quelby {

namespace {

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

bool mergeHistoryRow(const std::string& runHistory, const std::string& stationHistory)
{
    const std::string run = fileText(runHistory);
    const std::size_t headerEnd = run.find('\n');
    if (headerEnd == std::string::npos || headerEnd + 1 == run.size() || run.back() != '\n')
        throw StationError(runHistory + ": holds no whole row");
    const std::string header = run.substr(0, headerEnd + 1), row = run.substr(headerEnd + 1);
    if (fileText(stationHistory).find("\n" + row) != std::string::npos) return false;
    appendHistory(stationHistory, header, row);
    return true;
}

}  // namespace quelby
