#pragma once

#include "engine/io/PatientAxes.h"
#include "engine/io/Stack.h"

namespace quelby {

// Where the voxels of a stack lie in patient coordinates (LPS, mm): the step
// to the next column (i), the next row (j) and the next slice (k), and the
// position of the first voxel of the first slice — a NIfTI affine's columns.
struct VoxelAxes {
    Vector3 i, j, k, origin;
};

// The axes of a stack's geometry, slices in position order. A stack without
// one lies as an axial image at the origin, its spacing kept (1 mm where unknown).
VoxelAxes voxelAxes(const Stack& stack);

// Whether i, j and k form a right-handed set, as the rows, columns and normal
// of a DICOM image in position order do.
bool rightHanded(const VoxelAxes& axes);

// The same voxels with the `rows` rows taken last row first.
VoxelAxes rowsReversed(const VoxelAxes& axes, int rows);

// Fills the stack's geometry and `slices` slices (origins and positions, in k
// order) from the axes; they must span three dimensions.
void placeSlices(const VoxelAxes& axes, int slices, Stack& stack);

}  // namespace quelby
