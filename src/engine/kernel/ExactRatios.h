#pragma once

// The vector build of the noise √(squares / divisor), the SNR signal / noise
// and the g factor, bit for bit the doubles the long-double expressions give,
// over the traits of ExactDeviations.h and also div, sqrt, select(m, a, b)
// (a where m, else b), and inverse and inverseRoot (1/x and 1/√x within
// 2^-14 of them). Lanes the vector arithmetic cannot settle are handed to
// the long-double expression.
#include <immintrin.h>

#include <cstddef>

namespace quelby::kernel {

// The long-double expressions of one pixel.
double snrExtended(double signal, double noise);
double noiseExtended(double squares, long double divisor);
double gFactorExtended(double snrA, double snrB, double reduction, long double scale);

// snr := signal / noise where noise is not 0.
void snrsAvx512(const double* signal, const double* noise, double* snr, std::size_t pixels);
// squares := √(squares / divisor), the divisor an integer in [1, 2^31).
void noisesAvx512(double* squares, std::size_t pixels, double divisor);
// g := scale · snrA / (√R · snrB) where snrB is not 0; √R in long double is
// root + rest, R in [2^-40, 2^40], the scale an integer in [1, 2^11).
void gFactorsAvx512(const double* snrA, const double* snrB, double* g, std::size_t pixels, double reduction,
                    double scale, double root, double rest);

template <class S>
struct ExactRatios {
    using V = typename S::V;
    using M = typename S::M;
    static constexpr unsigned AllLanes = (1u << S::Lanes) - 1;

    // The SNR. The long-double expression rounds x = a/b to 64 bits, then to
    // a double: within 2^(E−64) of x, 2^E ≤ |x|, so it gives the double q
    // nearest x wherever x lies farther than that from every midpoint between
    // doubles. With |a| and |b| in [2^-500, 2^500], q = a/b rounded is a normal
    // double and r = a − q·b is exact, x − q = r/b; with h the half-gap at q
    // (halved at a power of two, the smaller one below), |r|·(1 + 2^-8) ≤ h·b
    // rounded gives |x − q| ≤ h·(1 − 2^-9), so x lies at least 2^(E−63) from
    // every midpoint.
    // a = 0 gives ±0 either way.
    static void snrs(const double* signal, const double* noise, double* snr, std::size_t pixels)
    {
        const std::size_t whole = pixels - pixels % S::Lanes;
        for (std::size_t p = 0; p < whole; p += S::Lanes) {
            const V a = S::load(signal + p), b = S::load(noise + p);
            const V q = S::div(a, b);
            const V r = S::fma(S::sub(S::set(0.0), q), b, a);
            const M close = S::le(S::mul(S::abs(r), S::set(1.0 + 0x1p-8)), S::mul(halfGap(q), b));
            const M inside = S::both(within(a, 500), within(b, 500));
            const M settled = S::either(S::eq(a, S::set(0.0)), S::both(inside, close));
            const M skipped = S::eq(b, S::set(0.0));
            const V before = S::load(snr + p);
            S::store(snr + p, S::select(skipped, before, S::select(settled, q, before)));
            for (unsigned left = ~(S::bits(skipped) | S::bits(settled)) & AllLanes; left != 0; left &= left - 1) {
                const std::size_t i = p + static_cast<std::size_t>(__builtin_ctz(left));
                snr[i] = snrExtended(signal[i], noise[i]);
            }
        }
        for (std::size_t i = whole; i < pixels; ++i)
            if (noise[i] != 0.0) snr[i] = snrExtended(signal[i], noise[i]);
    }

    // The noise. The long-double expression gives S = √Q rounded to 64 bits,
    // Q = v/k rounded to 64 bits, then S rounded to a double: |S − y| <
    // 2^(E−62) for y = √(v/k), 2^E ≤ y. With v in [2^-900, 2^900]: t = v·(1/k)
    // rounded lies within 2^-52·t of v/k, so rt = v − t·k, a multiple of
    // ulp(t) below 2k·ulp(t), is exact; y0 = √t rounded and e = t − y0² are
    // exact, so y² = y0² + e + rt/k and y − y0 = (e + rt/k)/(y + y0), below
    // 1.5·2^(E0−52) for 2^E0 ≤ y0. δ = (e + rt/k)·(1/√t)/2 with 1/√t within
    // 2^-14 lies within 2^(E0−65) of it; r = y0 + δ rounded and δr =
    // (y0 − r) + δ (y0 − r exact) give y − r within 2^(E−64). Where
    // |δr|·(1 + 2^-6) ≤ h, the half-gap at r (halved at a power of two), y lies
    // at least h·2^-7 − 2^(E−64) > 2^(E−62) from every midpoint: S rounds to r
    // as y does. v = 0 gives v.
    static void noises(double* squares, std::size_t pixels, double divisor)
    {
        const V k = S::set(divisor), inverse = S::set(1.0 / divisor);
        const std::size_t whole = pixels - pixels % S::Lanes;
        for (std::size_t p = 0; p < whole; p += S::Lanes) {
            const V v = S::load(squares + p);
            const V t = S::mul(v, inverse);
            const V rt = S::fma(S::sub(S::set(0.0), t), k, v);
            const V y0 = S::sqrt(t);
            const V e = S::fma(S::sub(S::set(0.0), y0), y0, t);
            const V delta = S::mul(S::fma(rt, inverse, e), S::mul(S::inverseRoot(t), S::set(0.5)));
            const V r = S::add(y0, delta);
            const V dr = S::add(S::sub(y0, r), delta);
            const M close = S::le(S::mul(S::abs(dr), S::set(1.0 + 0x1p-6)), halfGap(r));
            const M zero = S::eq(v, S::set(0.0));
            const M settled = S::either(zero, S::both(within(v, 900), close));
            S::store(squares + p, S::select(zero, v, S::select(settled, r, v)));
            for (unsigned left = ~S::bits(settled) & AllLanes; left != 0; left &= left - 1) {
                const std::size_t i = p + static_cast<std::size_t>(__builtin_ctz(left));
                squares[i] = noiseExtended(squares[i], divisor);
            }
        }
        for (std::size_t i = whole; i < pixels; ++i) squares[i] = noiseExtended(squares[i], divisor);
    }

    // The g factor. The long-double expression takes N = c·a exactly (c of at
    // most 11 bits), s = √R and D = s·b each rounded to 64 bits, then N/D
    // rounded to 64 bits and to a double: within 2^(E−62) of x = N/(s·b),
    // 2^E ≤ |x|, as the noise's S is of y. With s = sh + sl, |a| and |b| in
    // [2^-400, 2^400]: N = Nh + Nl and sh·b = Dh + e1 exactly; Dl = e1 + sl·b
    // rounded leaves Dh + Dl within 2^-104·|s·b| of it. q0 = Nh/Dh rounded;
    // ((Nh − q0·Dh) + Nl) − q0·Dl, the first difference exact, lies within
    // 2^-102·|N| of N − q0·s·b, and x − q0, below 2^(E−50), is that over s·b;
    // δ, it times 1/Dh within 2^-14, r = q0 + δ and δr = (q0 − r) + δ give
    // x − r within 2^(E−63), and the noise's test applies (h·2^-7 − 2^(E−63)
    // > 2^(E−62)). a = 0 gives ±0 either way.
    static void gFactors(const double* snrA, const double* snrB, double* g, std::size_t pixels, double reduction,
                         double scale, double root, double rest)
    {
        const V c = S::set(scale), sh = S::set(root), sl = S::set(rest), zero = S::set(0.0);
        const std::size_t whole = pixels - pixels % S::Lanes;
        for (std::size_t p = 0; p < whole; p += S::Lanes) {
            const V a = S::load(snrA + p), b = S::load(snrB + p);
            const V nh = S::mul(c, a), nl = S::fma(c, a, S::sub(zero, nh));
            const V dh = S::mul(sh, b), dl = S::add(S::fma(sh, b, S::sub(zero, dh)), S::mul(sl, b));
            const V q0 = S::div(nh, dh);
            const V left = S::fma(S::sub(zero, q0), dl, S::add(S::fma(S::sub(zero, q0), dh, nh), nl));
            const V delta = S::mul(left, S::inverse(dh));
            const V r = S::add(q0, delta);
            const V dr = S::add(S::sub(q0, r), delta);
            const M close = S::le(S::mul(S::abs(dr), S::set(1.0 + 0x1p-6)), halfGap(r));
            const M none = S::eq(a, zero);
            const M settled = S::both(within(b, 400), S::either(none, S::both(within(a, 400), close)));
            const M skipped = S::eq(b, zero);
            const V before = S::load(g + p);
            S::store(g + p, S::select(skipped, before, S::select(settled, S::select(none, q0, r), before)));
            for (unsigned left = ~(S::bits(skipped) | S::bits(settled)) & AllLanes; left != 0; left &= left - 1) {
                const std::size_t i = p + static_cast<std::size_t>(__builtin_ctz(left));
                g[i] = gFactorExtended(snrA[i], snrB[i], reduction, scale);
            }
        }
        for (std::size_t i = whole; i < pixels; ++i)
            if (snrB[i] != 0.0) g[i] = gFactorExtended(snrA[i], snrB[i], reduction, scale);
    }

private:
    // 2^-e ≤ |x| ≤ 2^e.
    static M within(V x, int e)
    {
        const V magnitude = S::abs(x);
        return S::both(S::ge(magnitude, S::set(__builtin_ldexp(1.0, -e))),
                       S::le(magnitude, S::set(__builtin_ldexp(1.0, e))));
    }

    // Half the gap from |x| to its neighbours, the smaller one at a power of two.
    static V halfGap(V x)
    {
        const V power = S::exponent(x);
        const V half = S::mul(power, S::set(0x1p-53));
        return S::select(S::eq(S::abs(x), power), S::mul(half, S::set(0.5)), half);
    }
};

}  // namespace quelby::kernel
