#pragma once

#include "export/FileCalls.h"
#include "engine/core/MapStore.h"

#include <QString>

#include <cstdint>

namespace quelby {

inline constexpr int ExportFileBytes = FramePixels * 2;

// The record of one map value: the low 16 bits of ⌊v⌋, of 10 × ⌊v⌋ for the
// g-factor map (which holds g × 100). Outside the 64-bit range the floor is
// an invalid operation.
std::uint16_t exportRecord(double value, bool gFactor);

// Writes the map as 65,536 little-endian 16-bit records, row 0 first, column 0
// first, replacing the file at `path`. Throws Failure with the file messages;
// the export succeeds only once the records are on the disk.
void writeMapFile(const QString& path, const Map& map, bool gFactor, const FileCalls& calls = systemFileCalls());

}  // namespace quelby
