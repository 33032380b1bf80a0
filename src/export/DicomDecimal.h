#pragma once

#include <string>

namespace quelby {

// `value` as a decimal string (DS) of at most 16 characters, as precise as
// they allow; what it reads back as is what a reader of the file gets.
std::string decimalString(double value);

}  // namespace quelby
