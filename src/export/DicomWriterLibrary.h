#pragma once

#include "export/DicomObjectPlan.h"

#include <functional>
#include <vector>

namespace quelby {

// Encodes a plan with the writer module, loaded on the first call and kept
// for the process. The function throws InputError when the module cannot be
// loaded or the plan cannot be encoded.
std::function<std::vector<char>(const DicomObjectPlan&)> dicomWriter();

}  // namespace quelby
