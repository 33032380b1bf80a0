#pragma once

// The vector build of noise := (s − mean)² + noise for every pixel and each
// image in turn, bit for bit the double the long-double expression gives.
// Written once over an instruction-set traits class `S` and compiled in a
// translation unit of its own per instruction set: nothing here may call an
// inline function of the library (its copy could be the one the program
// keeps), hence raw pointers and no standard templates.
//
// Traits: V (lanes of doubles), M (a lane mask), Lanes, Vectors (taken
// together, a multiple of 16 pixels), and load, store, set,
// add, sub, mul, fma (a·b + c, one rounding), max, min, abs, exponent (the
// power of two of a normal value, 0 for 0, infinity for infinity and NaN),
// reciprocal (of a normal power of two, exactly), nearest, eq, lt, le, ge
// (ordered: false for NaN), both, either, bits,
// samples<Signed>(bytes) (Lanes 16-bit samples as doubles) and
// range<Signed>(images, count, pixel, low, high) (the least and greatest
// sample of each of 16 pixels over the images, as doubles).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace quelby::kernel {

// The long-double expression for one pixel over the images: the path of the
// samples the vector arithmetic cannot settle.
void addExtendedPixel(const unsigned char* const* images, std::size_t count, std::size_t pixel, bool signedSamples,
                      double mean, double& noise);

// The builds: each returns the number of samples that took the long-double
// path. Call one only where the processor has its instructions.
std::size_t deviationsAvx2Fma(const unsigned char* const* images, std::size_t count, bool signedSamples,
                              const double* mean, double* noise, std::size_t pixels, double scale);
std::size_t deviationsAvx512(const unsigned char* const* images, std::size_t count, bool signedSamples,
                             const double* mean, double* noise, std::size_t pixels, double scale);
// signal := signal + each sample in turn, for up to 8 images at a time.
void addSamplesAvx512(const unsigned char* const* images, std::size_t count, bool signedSamples, double* signal,
                      std::size_t pixels);

template <class S, bool Signed>
struct ExactDeviations {
    using V = typename S::V;
    using M = typename S::M;
    static constexpr int Vectors = S::Vectors;
    static constexpr std::size_t Block = Vectors * S::Lanes;  // pixels taken together
    static constexpr unsigned AllLanes = (1u << S::Lanes) - 1;

    // Returns the number of samples that took the long-double path.
    [[gnu::always_inline]] static inline std::size_t add(const unsigned char* const* images, std::size_t count,
                                                         const double* mean, double* noise, std::size_t pixels,
                                                         double scale)
    {
        std::size_t slow = 0;
        const std::size_t whole = pixels - pixels % Block;
        for (std::size_t p = 0; p < whole; p += Block) {
            if (isOnGrain(mean + p, noise + p, scale))
                addOnGrain(images, count, p, mean + p, noise + p);
            else
                slow += addAnyMean(images, count, p, mean + p, noise + p);
        }
        for (std::size_t p = whole; p < pixels; ++p) addExtendedPixel(images, count, p, Signed, mean[p], noise[p]);
        return slow + (pixels - whole) * count;
    }

private:
    static constexpr double SampleBound = Signed ? 32768.0 : 65536.0;

    // Means on a grain. Let g = 2^-k and B the sample bound. Suppose every mean of
    // a block is M·g with M an integer and (B + |mean|)·2^k < 2^26, and every noise
    // value is Z·g² with Z an integer in [0, 2^52). For any sample s, d = s − mean
    // = D·g with |D| < 2^26, so d and d² = D²·g² (D² < 2^52) are exact doubles, and
    // one image adds less than 2^52·g². Over at most 8 images X = d² + noise
    // therefore stays a multiple of g² below 2^63·g², exact in the 64-bit
    // significand of a long double: the long-double expression rounds once, X to
    // double, and so does fma(d, d, noise). The rounded X is a multiple of g² again
    // (below 2^53·g² it is X, above it the spacing of doubles is a multiple of
    // 2g²), so the next image meets the same conditions. The checks are exact:
    // scaling is by powers of two, B + |mean| cannot round across the power of two
    // it is compared with, and adding and removing 1.5·2^52 (2^52 for Z ≥ 0)
    // leaves a double of that size unchanged only when it is an integer.
    [[gnu::always_inline]] static inline bool isOnGrain(const double* mean, const double* noise, double scale)
    {
        const V scales = S::set(scale), noiseScales = S::set(scale * scale);
        const V shifter = S::set(0x1.8p52), integers = S::set(0x1p52);
        bool on = true;
        for (int j = 0; j < Vectors; ++j) {
            const V means = S::load(mean + j * S::Lanes);
            const V m = S::mul(means, scales);
            const V z = S::mul(S::load(noise + j * S::Lanes), noiseScales);
            const V reach = S::mul(S::add(S::set(SampleBound), S::abs(means)), scales);
            M ok = S::lt(reach, S::set(0x1p26));
            ok = S::both(ok, S::eq(S::sub(S::add(m, shifter), shifter), m));
            ok = S::both(ok, S::both(S::ge(z, S::set(0.0)), S::lt(z, integers)));
            ok = S::both(ok, S::eq(S::sub(S::add(z, integers), integers), z));
            on &= S::bits(ok) == AllLanes;
        }
        return on;
    }

    [[gnu::always_inline]] static inline void addOnGrain(const unsigned char* const* images, std::size_t count,
                                                         std::size_t pixel, const double* mean, double* noise)
    {
        V m[Vectors], v[Vectors];
        for (int j = 0; j < Vectors; ++j) {
            m[j] = S::load(mean + j * S::Lanes);
            v[j] = S::load(noise + j * S::Lanes);
        }
        for (std::size_t k = 0; k < count; ++k)
            for (int j = 0; j < Vectors; ++j) {
                const V d = S::sub(S::template samples<Signed>(images[k] + 2 * (pixel + j * S::Lanes)), m[j]);
                v[j] = S::fma(d, d, v[j]);
            }
        for (int j = 0; j < Vectors; ++j) S::store(noise + j * S::Lanes, v[j]);
    }

    // Any mean. The long-double expression computes D = s − mean, P = D² and
    // X = P + noise, each rounded to 64 bits, then X to a double. Let T = D² + noise
    // exactly and r a double with 2^E ≤ r < 2^(E+1), |T − r| below the distance h
    // from r to the midpoint between r and its neighbour on the side of T, so that
    // r is T rounded. Then T < r + h ≤ 2^(E+1) − 2^(E−53), so D² and X lie below
    // 2^(E+1) and each rounding to 64 bits moves by at most 2^(E−64):
    // |X − T| ≤ 2^(E−63). h is 2^(E−53), or 2^(E−54) below a power of two, hence
    // |X − T| ≤ h·2^-9. Where T lies farther than h·2^-9 from that midpoint, X
    // lies on the same side and rounds to r too. With e the vector arithmetic's
    // value of T − r, within h·2^-30 of it, the test fl(r + c·e) = r with
    // c = 1 + 2^-9 + 2^-16 holds only where c·|e| ≤ h, that is where T lies at
    // least h·(1 − 1/c − 2^-30) > h·2^-9 from the midpoint. It fails for at
    // most about one sample in 500: that sample takes the long-double path, and
    // so do the pixel's later ones if its value differs.
    //
    // Conditions, checked per pixel over the least and greatest sample of the
    // block (the roundings of s − mean are monotonic in s): the mean is 0 or
    // 2^-300 ≤ |mean| < 2^30, so that s − mean is a multiple of ulp(mean) and no
    // value below meets the subnormal range; |s − mean| < 2^12·2^E(mean), so that
    // D needs at most 64 bits and is s − mean exactly; noise is 0 or in
    // [2^-600, 2^1000). The forms below are chosen per block by two more:
    // exact, |s − mean| < 2·2^E(mean), so that d = s − mean is an exact double;
    // small, reach²·(1 + 2^-48) ≤ noise at the start, so that the square of
    // any difference below (exact, or taken from a mean moved by up to
    // 2^-51·reach) is at most noise and every image has noise ≤ r ≤ 2·noise,
    // so that noise − r is exact (Sterbenz).
    static constexpr double Check = 1.0 + 0x1p-9 + 0x1p-16;

    // The images one block takes at most; more go in turns.
    static constexpr std::size_t Images = 8;

    struct Pixels {
        V m[Vectors];                       // what the form subtracts from each sample
        V v[Vectors];                       // noise
        double r[Images][Block];   // noise after each image
        unsigned char ok[Images][Vectors];  // lanes whose value after the image passed the test
        unsigned passed[Vectors];           // lanes that passed it for every image
    };

    [[gnu::always_inline]] static inline M passes(V r, V e) { return S::eq(S::fma(e, S::set(Check), r), r); }

    [[gnu::always_inline]] static inline V samplesOf(const unsigned char* image, std::size_t pixel, int j)
    {
        return S::template samples<Signed>(image + 2 * (pixel + j * S::Lanes));
    }

    [[gnu::always_inline]] static inline std::size_t addAnyMean(const unsigned char* const* images, std::size_t count,
                                                                std::size_t pixel, const double* mean, double* noise)
    {
        std::size_t slow = 0;
        for (std::size_t first = 0; first < count; first += Images) {
            const std::size_t n = count - first < Images ? count - first : Images;
            slow += addAnyMeanOnce(images + first, n, pixel, mean, noise);
        }
        return slow;
    }

    [[gnu::always_inline]] static inline std::size_t addAnyMeanOnce(const unsigned char* const* images,
                                                                    std::size_t count, std::size_t pixel,
                                                                    const double* mean, double* noise)
    {
        V low[Vectors], high[Vectors];
        for (int h = 0; h < Vectors; h += 16 / S::Lanes)
            S::template range<Signed>(images, count, pixel + h * S::Lanes, low + h, high + h);
        Pixels px;
        unsigned usable[Vectors];
        double start[Block];
        V reaches[Vectors];
        bool any = false, exact = true, small = true;
        for (int j = 0; j < Vectors; ++j) {
            const V m = px.m[j] = S::load(mean + j * S::Lanes);
            const V v = px.v[j] = S::load(noise + j * S::Lanes);
            S::store(start + j * S::Lanes, v);
            px.passed[j] = AllLanes;
            const V reach = reaches[j] = S::max(S::sub(high[j], m), S::sub(m, low[j]));
            const V am = S::abs(m);
            const M zero = S::eq(am, S::set(0.0));
            const V grain = S::exponent(am);
            const M meanOk = S::either(zero, S::both(S::ge(am, S::set(0x1p-300)), S::lt(am, S::set(0x1p30))));
            const M noiseOk = S::both(S::both(S::ge(v, S::set(0.0)), S::lt(v, S::set(0x1p1000))),
                                      S::either(S::eq(v, S::set(0.0)), S::ge(v, S::set(0x1p-600))));
            const M wide = S::either(zero, S::lt(reach, S::mul(grain, S::set(0x1p12))));
            usable[j] = S::bits(S::both(S::both(meanOk, noiseOk), wide));
            any |= usable[j] != 0;
            exact &= S::bits(S::either(zero, S::lt(reach, S::mul(grain, S::set(2.0))))) == AllLanes;
            small &= S::bits(S::le(S::mul(reach, reach), S::mul(v, S::set(1.0 - 0x1p-48)))) == AllLanes;
        }
        if (!any)
            return addExtendedBlock(images, count, pixel, mean, noise);
        if (exact && small)
            addShort(images, count, pixel, px);
        else if (exact)
            addExact(images, count, pixel, px);
        else if (small)
            addSmall(images, count, pixel, px, reaches);
        else
            addGeneral(images, count, pixel, px);
        std::size_t slow = 0;
        for (int j = 0; j < Vectors; ++j) {
            S::store(noise + j * S::Lanes, px.v[j]);
            for (unsigned failed = ~(usable[j] & px.passed[j]) & AllLanes; failed != 0; failed &= failed - 1) {
                const int lane = __builtin_ctz(failed);
                const std::size_t i = static_cast<std::size_t>(j * S::Lanes + lane);
                noise[i] = start[i];
                if ((usable[j] >> lane & 1) == 0) {
                    addExtendedPixel(images, count, pixel + i, Signed, mean[i], noise[i]);
                    slow += count;
                } else {
                    slow += settle(px, images, count, pixel, i, j, lane, mean[i], noise[i]);
                }
            }
        }
        return slow;
    }

    static std::size_t addExtendedBlock(const unsigned char* const* images, std::size_t count, std::size_t pixel,
                                        const double* mean, double* noise)
    {
        for (std::size_t i = 0; i < Block; ++i)
            addExtendedPixel(images, count, pixel + i, Signed, mean[i], noise[i]);
        return Block * count;
    }

    // Takes the lane's values image by image, the long-double expression
    // where the test failed and, once that gives another value, for the
    // rest. Returns the samples that took it.
    static std::size_t settle(const Pixels& px, const unsigned char* const* images, std::size_t count,
                              std::size_t pixel, std::size_t i, int j, int lane, double mean, double& noise)
    {
        std::size_t slow = 0;
        bool apart = false;
        for (std::size_t k = 0; k < count; ++k) {
            if (apart || (px.ok[k][j] >> lane & 1) == 0) {
                addExtendedPixel(images + k, 1, pixel + i, Signed, mean, noise);
                ++slow;
                apart = apart || __builtin_bit_cast(std::uint64_t, noise) !=
                                     __builtin_bit_cast(std::uint64_t, px.r[k][i]);
            } else {
                noise = px.r[k][i];
            }
        }
        return slow;
    }

    // The noise after one image and the vector arithmetic's value of T − r.
    struct Sum {
        V r, e;
    };

    // Each image in turn for every vector of the block: step(d, j, noise), with
    // d = s − px.m[j], gives the next noise; whether it passed the test is kept
    // per image for settle().
    template <class Step>
    [[gnu::always_inline]] static inline void addEach(const unsigned char* const* images, std::size_t count,
                                                      std::size_t pixel, Pixels& px, Step step)
    {
        V m[Vectors], v[Vectors];
        for (int j = 0; j < Vectors; ++j) {
            m[j] = px.m[j];
            v[j] = px.v[j];
        }
        for (std::size_t k = 0; k < count; ++k)
            for (int j = 0; j < Vectors; ++j) {
                const Sum sum = step(S::sub(samplesOf(images[k], pixel, j), m[j]), j, v[j]);
                S::store(px.r[k] + j * S::Lanes, sum.r);
                px.ok[k][j] = static_cast<unsigned char>(S::bits(passes(sum.r, sum.e)));
                v[j] = sum.r;
            }
        // Read back once afterwards: a mask moved to a register per image costs
        // a slot of the arithmetic's own port, a store does not.
        asm volatile("" ::: "memory");
        for (int j = 0; j < Vectors; ++j) {
            px.v[j] = v[j];
            for (std::size_t k = 0; k < count; ++k) px.passed[j] &= px.ok[k][j];
        }
    }

    // Exact and small: e = fma(d, d, noise − r) within one rounding.
    [[gnu::always_inline]] static inline void addShort(const unsigned char* const* images, std::size_t count,
                                                       std::size_t pixel, Pixels& px)
    {
        addEach(images, count, pixel, px, [](V d, int, V v) __attribute__((always_inline)) {
            const V r = S::fma(d, d, v);
            return Sum{r, S::fma(d, d, S::sub(v, r))};
        });
    }

    // Exact: d² = ph + pl exactly, and with the larger of ph and noise first,
    // big − r is exact (r lies between big and 2·big); e = ((big − r) + small) + pl,
    // within two roundings of values below 2·ulp(r).
    [[gnu::always_inline]] static inline void addExact(const unsigned char* const* images, std::size_t count,
                                                       std::size_t pixel, Pixels& px)
    {
        addEach(images, count, pixel, px, [](V d, int, V v) __attribute__((always_inline)) {
            const V r = S::fma(d, d, v);
            const V ph = S::mul(d, d);
            const V pl = S::fma(d, d, S::sub(S::set(0.0), ph));
            const V big = S::max(ph, v), small = S::min(ph, v);
            return Sum{r, S::add(S::add(S::sub(big, r), small), pl)};
        });
    }

    // Small: the mean split at the grain g = 2^(E(reach) − 51), reach the block's
    // largest |s − mean|: mean = mh + ml with mh a multiple of g and |ml| ≤ g/2,
    // so that dA = s − mh is an exact double and D² + noise = dA² + noise + a,
    // a = ml² − 2·dA·ml. r0 = fma(dA, dA, noise), noise − r0 exact; e1 = that
    // error within one rounding; e0 = e1 − 2·dA·ml within one more, below
    // 2^-102·r as |2·dA·ml| < 2^-50·reach² ≤ 2^-50·noise; ml² < 2^-104·r is left
    // out. Then r = r0 + e0 rounded and e its exact error.
    [[gnu::always_inline]] static inline void addSmall(const unsigned char* const* images, std::size_t count,
                                                       std::size_t pixel, Pixels& px, const V* reach)
    {
        V twice[Vectors];
        for (int j = 0; j < Vectors; ++j) {
            const V g = S::max(S::mul(S::exponent(reach[j]), S::set(0x1p-51)), S::set(0x1p-600));
            const V mh = S::mul(S::nearest(S::mul(px.m[j], S::reciprocal(g))), g);
            const V ml = S::sub(px.m[j], mh);
            px.m[j] = mh;
            twice[j] = S::mul(ml, S::set(-2.0));
        }
        addEach(images, count, pixel, px, [&](V d, int j, V v) __attribute__((always_inline)) {
            const V r0 = S::fma(d, d, v);
            const V e0 = S::fma(d, twice[j], S::fma(d, d, S::sub(v, r0)));
            const V r = S::add(r0, e0);
            return Sum{r, S::sub(e0, S::sub(r, r0))};
        });
    }

    // The general form: the mean split into an integer and a fraction
    // (|fraction| ≤ 1/2, so Fast2Sum applies): s − mean = dh + dl exactly.
    // D² = ph + pl + 2·dh·dl + dl², ph + pl = dh² exactly; ph + noise = s1 + t1
    // exactly (Fast2Sum on the larger first); r = s1 + (t1 + lo) rounded and e its
    // exact error. Beside e, what is left of T − r (the roundings of lo and
    // t1 + lo, and dl²) stays below 2^-100·r, within h·2^-40.
    [[gnu::always_inline]] static inline void addGeneral(const unsigned char* const* images, std::size_t count,
                                                         std::size_t pixel, Pixels& px)
    {
        V fraction[Vectors];
        for (int j = 0; j < Vectors; ++j) {
            const V whole = S::nearest(px.m[j]);
            fraction[j] = S::sub(px.m[j], whole);
            px.m[j] = whole;
        }
        addEach(images, count, pixel, px, [&](V n, int j, V v) __attribute__((always_inline)) {
            const V dh = S::sub(n, fraction[j]);
            const V dl = S::sub(S::sub(n, dh), fraction[j]);
            const V ph = S::mul(dh, dh);
            const V pl = S::fma(dh, dh, S::sub(S::set(0.0), ph));
            const V lo = S::fma(S::add(dh, dh), dl, pl);
            const V big = S::max(ph, v), small = S::min(ph, v);
            const V s1 = S::add(big, small);
            const V t1 = S::sub(small, S::sub(s1, big));
            const V tl = S::add(t1, lo);
            const V r = S::add(s1, tl);
            return Sum{r, S::sub(tl, S::sub(r, s1))};
        });
    }
};

}  // namespace quelby::kernel
