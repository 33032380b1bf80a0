#pragma once

#include <string>

namespace quelby {

// A figure for people: rounded to 4 significant digits, trailing zeros dropped,
// in plain decimals for 1e-6 ≤ |v| < 1e6 (0.0000625, 123500) and with an
// exponent beyond (1.5e-07, 2.5e+06); "0" for zero, "—" when not finite.
std::string figureText(double value);

}  // namespace quelby
