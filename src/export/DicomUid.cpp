#include "export/DicomUid.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>

namespace quelby {

std::string newDicomUid()
{
    static thread_local std::random_device device;
    std::array<std::uint32_t, 4> words{};  // most significant first
    for (std::uint32_t& w : words) w = device();
    words[1] = (words[1] & 0xFFFF0FFFu) | 0x00004000u;  // version 4
    words[2] = (words[2] & 0x3FFFFFFFu) | 0x80000000u;  // the RFC 4122 variant
    std::string digits;
    while (std::any_of(words.begin(), words.end(), [](std::uint32_t w) { return w != 0; })) {
        std::uint64_t remainder = 0;
        for (std::uint32_t& w : words) {
            const std::uint64_t part = remainder << 32 | w;
            w = static_cast<std::uint32_t>(part / 10);
            remainder = part % 10;
        }
        digits.push_back(static_cast<char>('0' + remainder));
    }
    std::reverse(digits.begin(), digits.end());
    return "2.25." + digits;
}

bool validDicomUid(const std::string& uid)
{
    if (uid.empty() || uid.size() > 64 || uid.front() == '.' || uid.back() == '.') return false;
    for (std::size_t k = 0; k < uid.size(); ++k) {
        const char c = uid[k];
        const bool componentStart = k == 0 || uid[k - 1] == '.';
        if (c == '.' ? componentStart : (c < '0' || c > '9')) return false;
        if (c == '0' && componentStart && k + 1 < uid.size() && uid[k + 1] != '.') return false;
    }
    return true;
}

}  // namespace quelby
