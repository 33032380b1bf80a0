#include "station/PathPart.h"

namespace quelby {

std::string pathPart(std::string_view text, std::string_view fallback)
{
    constexpr std::size_t longest = 64;
    std::string part;
    for (const char c : text) {
        if (part.size() == longest) break;
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_' || c == '-';
        if (part.empty() && c == '.') continue;
        part += kept ? c : '_';
    }
    // A name of underscores alone says nothing about where it came from.
    if (part.find_first_not_of('_') == std::string::npos) return std::string(fallback);
    return part;
}

}  // namespace quelby
