#pragma once

#include <string>
#include <vector>

namespace quelby {

// The window measures one slice of one acquisition. Refuses a DICOM folder
// whose listed files lie at more than one slice position or hold more than
// one echo, coil element or image type, naming how many it found and a file
// of each. A raw folder, and a file that cannot be read or walked here,
// decide nothing: the pass reads them, and fails at them by name.
void RefuseMixedAcquisitions(const std::string& folder, const std::vector<std::string>& names);

}  // namespace quelby
