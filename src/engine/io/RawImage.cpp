#include "engine/io/RawImage.h"

#include "engine/io/FileFailure.h"

#include <cerrno>
#include <utility>

namespace quelby {

std::int64_t rawImageBytes(const RawLayout& layout)
{
    return 2 * static_cast<std::int64_t>(layout.width) * static_cast<std::int64_t>(layout.height);
}

void readRawImage(const InputFile& file, const RawLayout& layout, std::span<unsigned char> into)
{
    const std::int64_t bytes = rawImageBytes(layout), size = file.size();
    if (size < bytes) throw FileFailure(EINVAL, file.path());
    file.readAt(2 * (size / 2) - bytes, into.first(static_cast<std::size_t>(bytes)));
    if (layout.bigEndian)
        for (std::size_t i = 0; i + 1 < into.size(); i += 2) std::swap(into[i], into[i + 1]);
}

}  // namespace quelby
