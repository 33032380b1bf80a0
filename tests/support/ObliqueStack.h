#pragma once

#include "engine/io/Stack.h"

#include <array>
#include <cmath>

namespace quelby::test {

// A stack as DICOM files of an oblique multi-slice series give it: rows and
// columns turned about two axes, slices along the normal in position order.
struct ObliqueStack {
    int rows = 4, columns = 5, slices = 3;
    double betweenRows = 0.8, betweenColumns = 0.9, spacing = 4.5;
    double a = 0.3, b = 0.5;
    std::array<double, 3> row{std::cos(a), std::sin(a), 0};
    std::array<double, 3> column{-std::sin(a) * std::cos(b), std::cos(a) * std::cos(b), std::sin(b)};
    std::array<double, 3> normal{std::sin(a) * std::sin(b), -std::cos(a) * std::sin(b), std::cos(b)};  // row × column
    std::array<double, 3> first{-110.5, 23.25, 41.0};  // Image Position Patient of slice 0

    // Image Position Patient of voxel (column i, row j) of slice k.
    std::array<double, 3> patient(double i, double j, double k) const
    {
        std::array<double, 3> p{};
        for (int d = 0; d < 3; ++d)
            p[d] = first[d] + k * spacing * normal[d] + i * betweenColumns * row[d] + j * betweenRows * column[d];
        return p;
    }

    double position(int k) const
    {
        const auto p = patient(0, 0, k);
        return p[0] * normal[0] + p[1] * normal[1] + p[2] * normal[2];
    }

    Stack stack() const
    {
        Stack s;
        s.keys.rows = rows;
        s.keys.columns = columns;
        s.geometry.pixelSpacing = std::pair{betweenRows, betweenColumns};
        s.geometry.orientation = std::array<double, 6>{row[0], row[1], row[2], column[0], column[1], column[2]};
        s.geometry.sliceSpacing = spacing;
        s.geometry.sliceThickness = 3.0;
        for (int k = 0; k < slices; ++k) s.slices.push_back({position(k), patient(0, 0, k), {}});
        return s;
    }
};

}  // namespace quelby::test
