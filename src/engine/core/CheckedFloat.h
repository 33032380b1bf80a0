#pragma once

#include "engine/core/Failure.h"

#include <cfloat>
#include <cmath>
#include <cstdint>

// Map expressions are evaluated in long double (80-bit on x86-64) and stored as
// doubles. The faults the x87 unit would trap on are detected here explicitly.
namespace quelby::checked {

using Extended = long double;

inline Extended div(Extended numerator, Extended denominator)
{
    if (denominator == 0) throw numerator == 0 ? Failure::invalidOperation() : Failure::divisionByZero();
    const Extended q = numerator / denominator;
    if (std::isinf(q)) throw Failure::overflow();
    return q;
}

inline Extended sqrt(Extended x)
{
    if (x < 0) throw Failure::invalidOperation();
    return std::sqrt(x);
}

inline Extended mul(Extended a, Extended b)
{
    const Extended p = a * b;
    if (std::isinf(p)) throw Failure::overflow();
    return p;
}

// Storing into a double: a value beyond the double range overflows.
inline double store(Extended x)
{
    if (std::fabs(x) > static_cast<Extended>(DBL_MAX)) throw Failure::overflow();
    return static_cast<double>(x);
}

// Trunc: the fraction cut toward zero, outside the 64-bit range an invalid operation.
inline std::int64_t trunc(Extended x)
{
    constexpr Extended limit = 9223372036854775808.0L;  // 2^63
    if (!(x > -limit - 1 && x < limit)) throw Failure::invalidOperation();
    return static_cast<std::int64_t>(x);
}

}  // namespace quelby::checked
