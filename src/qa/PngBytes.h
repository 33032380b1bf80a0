#pragma once

#include <vector>

class QImage;

namespace quelby {

// A picture as PNG bytes (8-bit RGB), quickly compressed.
std::vector<char> pngBytes(const QImage& image);

}  // namespace quelby
