#include "engine/io/VoxelAxes.h"

#include <cmath>

namespace quelby {

namespace {

// The distance from one slice to the next along the normal where the
// positions do not give it.
double sliceStep(const Stack& stack)
{
    const StackGeometry& g = stack.geometry;
    if (g.sliceSpacing) return *g.sliceSpacing;
    if (stack.slices.size() == 1 && g.sliceThickness) return *g.sliceThickness;
    return 1;
}

}  // namespace

VoxelAxes voxelAxes(const Stack& stack)
{
    const StackGeometry& g = stack.geometry;
    const auto [betweenRows, betweenColumns] = g.pixelSpacing.value_or(std::pair{1.0, 1.0});
    const std::array<double, 6> orientation = g.orientation.value_or(std::array<double, 6>{1, 0, 0, 0, 1, 0});
    VoxelAxes axes;
    axes.i = scaled(rowDirection(orientation), betweenColumns);
    axes.j = scaled(columnDirection(orientation), betweenRows);
    axes.k = scaled(sliceNormal(orientation), sliceStep(stack));
    axes.origin = {0, 0, 0};
    if (stack.slices.empty() || !stack.slices.front().origin) return axes;
    axes.origin = *stack.slices.front().origin;
    // The mean step between the outer slices, as converters take it.
    const std::size_t last = stack.slices.size() - 1;
    if (last > 0 && stack.slices.back().origin)
        axes.k = scaled(minus(*stack.slices.back().origin, axes.origin), 1.0 / static_cast<double>(last));
    return axes;
}

bool rightHanded(const VoxelAxes& axes) { return dot(cross(axes.i, axes.j), axes.k) > 0; }

VoxelAxes rowsReversed(const VoxelAxes& axes, int rows)
{
    VoxelAxes reversed = axes;
    reversed.origin = plus(axes.origin, scaled(axes.j, rows - 1));
    reversed.j = scaled(axes.j, -1);
    return reversed;
}

void placeSlices(const VoxelAxes& axes, int slices, Stack& stack)
{
    const double betweenColumns = length(axes.i), betweenRows = length(axes.j);
    const Vector3 row = scaled(axes.i, 1 / betweenColumns), column = scaled(axes.j, 1 / betweenRows);
    StackGeometry& g = stack.geometry;
    g.pixelSpacing = std::pair{betweenRows, betweenColumns};
    g.orientation = std::array<double, 6>{row[0], row[1], row[2], column[0], column[1], column[2]};
    const Vector3 normal = sliceNormal(*g.orientation);
    if (slices > 1)
        g.sliceSpacing = std::abs(dot(axes.k, normal));
    else
        g.sliceThickness = length(axes.k);
    stack.slices.resize(static_cast<std::size_t>(slices));
    for (int s = 0; s < slices; ++s) {
        StackSlice& slice = stack.slices[static_cast<std::size_t>(s)];
        slice.origin = plus(axes.origin, scaled(axes.k, s));
        slice.positionMm = dot(*slice.origin, normal);
    }
}

}  // namespace quelby
