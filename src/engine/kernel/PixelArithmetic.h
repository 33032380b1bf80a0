#pragma once

#include "engine/core/CheckedFloat.h"

// The expressions of one pixel of a measurement, shared by the window's run and
// the command line so that both give the same maps to the last bit.
namespace quelby::pixel {

using checked::Extended;

// The signal: the sum over the repetitions divided by their count. A sum of
// samples is an integer below 2^53; for a count below 2^11 its quotient q,
// 2^E ≤ |q| < 2^(E+1), is a midpoint between doubles or lies at least
// 2^(E−53)/count > 2^(E−64) from every one, farther than rounding to 64 bits
// moves it: the long double's two roundings give the double quotient.
inline double mean(double sum, Extended count)
{
    if (count >= 1 && count < 2048 && std::fabs(sum) < 0x1p53 && sum == std::trunc(sum))
        return sum / static_cast<double>(count);
    return checked::store(checked::div(sum, count));
}

// The noise: √(Σ(s − mean)² / divisor), the divisor the count less one.
inline double noise(double squaredDeviations, Extended divisor)
{
    return checked::store(checked::sqrt(checked::div(squaredDeviations, divisor)));
}

// The SNR where the noise is not 0.
inline double snr(double signal, double noise) { return checked::store(checked::div(signal, noise)); }

// scale · SNR_A / (√R · SNR_B) where SNR_B is not 0; the window's map holds
// g × 100, the command line's g.
inline double gFactor(double snrA, double snrB, double reduction, Extended scale)
{
    const Extended numerator = scale * snrA;
    const Extended denominator = checked::mul(checked::sqrt(reduction), snrB);
    return checked::store(checked::div(numerator, denominator));
}

}  // namespace quelby::pixel
