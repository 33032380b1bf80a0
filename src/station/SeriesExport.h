#pragma once

#include "station/RestClient.h"
#include "station/StudyInfo.h"

#include <string>
#include <vector>

namespace quelby {

// Writes every instance of `series` from Orthanc into `folder` (created
// empty), named by their order, never by a tag. Throws StationError.
void exportSeries(RestClient& rest, const std::vector<SeriesInfo>& series, const std::string& folder);

}  // namespace quelby
