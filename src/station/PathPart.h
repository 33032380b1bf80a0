#pragma once

#include <string>
#include <string_view>

namespace quelby {

// One component of a path made from untrusted text (a DICOM tag, a rule's
// name): only [A-Za-z0-9._-], every other byte as "_", no leading dot, at
// most 64 bytes, and `fallback` when nothing is left.
std::string pathPart(std::string_view text, std::string_view fallback);

}  // namespace quelby
