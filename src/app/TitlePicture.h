#pragma once

#include <QImage>

namespace quelby {

// The picture the view shows before the first rendering: a dim axial brain slice
// under a faint lattice with the program's title in green. 256 × 256, 24-bit,
// the same pixels on every call.
QImage makeTitlePicture();

}  // namespace quelby
