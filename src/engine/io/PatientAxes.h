#pragma once

#include <array>
#include <cmath>

namespace quelby {

// A direction or position in patient coordinates, mm.
using Vector3 = std::array<double, 3>;

inline double dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline Vector3 cross(const Vector3& a, const Vector3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline Vector3 scaled(const Vector3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }

inline Vector3 plus(const Vector3& a, const Vector3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

inline Vector3 minus(const Vector3& a, const Vector3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

inline double length(const Vector3& a) { return std::sqrt(dot(a, a)); }

// The row's and the column's direction cosines of an image orientation.
inline Vector3 rowDirection(const std::array<double, 6>& o) { return {o[0], o[1], o[2]}; }
inline Vector3 columnDirection(const std::array<double, 6>& o) { return {o[3], o[4], o[5]}; }

// The slice normal: row × column cosines, along which slices are ordered.
inline Vector3 sliceNormal(const std::array<double, 6>& orientation)
{
    return cross(rowDirection(orientation), columnDirection(orientation));
}

// DICOM's patient axes (x to the left, y to the back) and NIfTI's (x to the
// right, y to the front) differ in the sign of x and y; the change is its own inverse.
inline Vector3 swapLpsRas(const Vector3& a) { return {-a[0], -a[1], a[2]}; }

}  // namespace quelby
