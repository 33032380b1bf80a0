#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace quelby {

// The values of decimal (DS) and integer (IS) strings as DICOM writes them:
// surrounding spaces and a leading "+" allowed. Nothing for any other text.
std::optional<double> decimalValue(std::string_view text);
std::optional<int> integerValue(std::string_view text);

// Every value of a multi-valued decimal string ("0.8\0.9"); nothing when any
// of them is not a decimal.
std::optional<std::vector<double>> decimalValues(std::string_view text);

}  // namespace quelby
