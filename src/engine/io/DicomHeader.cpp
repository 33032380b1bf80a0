#include "engine/io/DicomHeader.h"

#include <algorithm>

namespace quelby {

std::optional<DicomStructure> readDicomHeader(const InputFile& file, std::vector<unsigned char>& bytes)
{
    constexpr std::size_t FirstBytes = std::size_t{16} << 10;
    const auto size = static_cast<std::size_t>(file.size());
    bytes.resize(std::min(size, FirstBytes));
    file.readAt(0, bytes);
    for (;;) {
        DicomHeaderWalk walk = walkDicomHeader(bytes, size);
        if (!walk.wanting || bytes.size() == size) return std::move(walk.structure);
        const std::size_t had = bytes.size();
        bytes.resize(std::min(size, 4 * had));
        file.readAt(static_cast<std::int64_t>(had), std::span(bytes).subspan(had));
    }
}

}  // namespace quelby
