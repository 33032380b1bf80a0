#include "export/DicomDecimal.h"

#include <cstdio>

namespace quelby {

std::string decimalString(double value)
{
    char text[32];
    for (int digits = 16; digits > 1; --digits) {
        const int n = std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (n > 0 && n <= 16) return text;
    }
    std::snprintf(text, sizeof text, "%.1g", value);
    return text;
}

}  // namespace quelby
