#pragma once

#include "CheckedFloat.h"

// The expressions of one pixel of a measurement, shared by the window's run and
// the command line so that both give the same maps to the last bit.
namespace quelby::pixel {

using checked::Extended;

// The signal: the sum over the repetitions divided by their count.
inline double mean(double sum, Extended count) { return checked::store(checked::div(sum, count)); }

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
