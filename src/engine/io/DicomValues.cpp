#include "engine/io/DicomValues.h"

#include "engine/core/Failure.h"
#include "engine/core/NumberText.h"

#include <cmath>
#include <limits>

namespace quelby {

std::optional<double> decimalValue(std::string_view text)
{
    // Empty values are common (type 2 attributes), and a throw for each costs more than the reading.
    if (text.empty()) return std::nullopt;
    try {
        return parseNumber(text, ".");
    } catch (const Failure&) {
        return std::nullopt;
    }
}

std::optional<int> integerValue(std::string_view text)
{
    const std::optional<double> value = decimalValue(text);
    if (!value || std::floor(*value) != *value || text.find_first_of(".eE") != std::string_view::npos ||
        *value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(*value);
}

std::optional<std::vector<double>> decimalValues(std::string_view text)
{
    std::vector<double> values;
    for (;;) {
        const std::size_t end = text.find('\\');
        const std::optional<double> value = decimalValue(text.substr(0, end));
        if (!value) return std::nullopt;
        values.push_back(*value);
        if (end == std::string_view::npos) return values;
        text.remove_prefix(end + 1);
    }
}

}  // namespace quelby
