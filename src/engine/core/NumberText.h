#pragma once

#include <string>
#include <string_view>

namespace quelby {

// The decimal separator of the user's locale (LC_NUMERIC), for reading and writing numbers.
std::string localeDecimalSeparator();

// Reads a number typed by the user. Accepts, in this order: spaces, an optional
// sign, digits, optionally the separator and digits, optionally E/e with an
// optional sign and digits, spaces; at least a digit or the separator must follow
// the sign. Throws Failure::notANumber for any other text and for a value beyond
// the extended range, Failure::overflow for a value beyond the double range.
double parseNumber(std::string_view text, std::string_view separator);
double parseNumber(std::string_view text);

// Fixed-point text with `decimals` places: the value to 18 significant digits,
// then rounded with halves away from zero; an all-zero result carries no minus sign.
std::string formatFixed(double value, int decimals, std::string_view separator);
std::string formatFixed(double value, int decimals);

}  // namespace quelby
