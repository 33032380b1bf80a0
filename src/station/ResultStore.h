#pragma once

#include "station/RestClient.h"

#include <string>

namespace quelby {

// Stores the DICOM results a run lists in `output`/report.json ("dicom":
// [{"files": [paths relative to output]}]) into Orthanc, which puts them in
// the study they name. Storing again is harmless: Orthanc keeps one copy of an
// instance. Returns how many files were stored. Throws StationError.
int storeResults(RestClient& rest, const std::string& output);

}  // namespace quelby
