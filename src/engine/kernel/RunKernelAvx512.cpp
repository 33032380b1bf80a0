// Compiled for AVX-512 (F, BW, DQ, VL): eight doubles a vector, masks in mask
// registers, sixteen samples widened at once.
#include "engine/kernel/ExactDeviations.h"
#include "engine/kernel/ExactRatios.h"

namespace quelby::kernel {

namespace {

// GCC 12 warns of the undefined source of the unmasked forms of some
// instructions; their zero-masked forms with every lane set are the same.
constexpr __mmask8 Every = 0xFF;

using V = __m512d;
using M = __mmask8;

struct Avx512 {
    using V = quelby::kernel::V;
    using M = quelby::kernel::M;
    static constexpr int Lanes = 8;
    // Four chains of noise values in flight hide the latency of the longer forms.
    static constexpr int Vectors = 4;

    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
    static V set(double x) { return _mm512_set1_pd(x); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V div(V a, V b) { return _mm512_div_pd(a, b); }
    static V sqrt(V a) { return _mm512_maskz_sqrt_pd(Every, a); }
    static V select(M m, V a, V b) { return _mm512_mask_blend_pd(m, b, a); }
    static V inverse(V a) { return _mm512_maskz_rcp14_pd(Every, a); }
    static V inverseRoot(V a) { return _mm512_maskz_rsqrt14_pd(Every, a); }
    // 2^-k from 2^k: the biased exponent 1023 + k becomes 1023 − k.
    static V reciprocal(V a)
    {
        return _mm512_castsi512_pd(_mm512_sub_epi64(_mm512_set1_epi64(0x7FE0'0000'0000'0000), _mm512_castpd_si512(a)));
    }
    static V fma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
    static V max(V a, V b) { return _mm512_maskz_max_pd(Every, a, b); }
    static V min(V a, V b) { return _mm512_maskz_min_pd(Every, a, b); }
    static V abs(V a) { return _mm512_abs_pd(a); }
    static V exponent(V a)
    {
        return _mm512_and_pd(a, _mm512_castsi512_pd(_mm512_set1_epi64(0x7FF0'0000'0000'0000)));
    }
    static V nearest(V a)
    {
        return _mm512_maskz_roundscale_pd(Every, a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    static M eq(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M lt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M le(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M ge(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M both(M a, M b) { return static_cast<M>(a & b); }
    static M either(M a, M b) { return static_cast<M>(a | b); }
    static unsigned bits(M m) { return m; }

    template <bool Signed>
    static V samples(const unsigned char* bytes)
    {
        const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        return _mm512_maskz_cvtepi32_pd(Every, Signed ? _mm256_cvtepi16_epi32(s) : _mm256_cvtepu16_epi32(s));
    }

    template <bool Signed>
    static void range(const unsigned char* const* images, std::size_t count, std::size_t pixel, V* low, V* high)
    {
        __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(images[0] + 2 * pixel)), hi = lo;
        for (std::size_t k = 1; k < count; ++k) {
            const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(images[k] + 2 * pixel));
            lo = Signed ? _mm256_min_epi16(lo, s) : _mm256_min_epu16(lo, s);
            hi = Signed ? _mm256_max_epi16(hi, s) : _mm256_max_epu16(hi, s);
        }
        for (int j = 0; j < 2; ++j) {
            const __m128i l = j == 0 ? _mm256_castsi256_si128(lo) : _mm256_extracti128_si256(lo, 1);
            const __m128i h = j == 0 ? _mm256_castsi256_si128(hi) : _mm256_extracti128_si256(hi, 1);
            low[j] = _mm512_maskz_cvtepi32_pd(Every, Signed ? _mm256_cvtepi16_epi32(l) : _mm256_cvtepu16_epi32(l));
            high[j] = _mm512_maskz_cvtepi32_pd(Every, Signed ? _mm256_cvtepi16_epi32(h) : _mm256_cvtepu16_epi32(h));
        }
    }
};

// Where every sum of 32 pixels is an integer below 2^51 in magnitude, each
// partial sum of up to 8 16-bit samples is an integer below 2^53, so every
// addition is exact and the images may be added in int32 first and their total
// once; elsewhere each image is added in turn.
template <bool Signed>
void addSamples(const unsigned char* const* images, std::size_t count, double* signal, std::size_t pixels)
{
    constexpr std::size_t Block = 32;
    const std::size_t whole = count <= 8 ? pixels - pixels % Block : 0;
    const auto widened = [](const unsigned char* bytes) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
        return Signed ? _mm512_maskz_cvtepi16_epi32(0xFFFF, s) : _mm512_maskz_cvtepu16_epi32(0xFFFF, s);
    };
    const auto halves = [](__m512i n, V* out) {
        out[0] = _mm512_maskz_cvtepi32_pd(Every, _mm512_maskz_extracti64x4_epi64(0xF, n, 0));
        out[1] = _mm512_maskz_cvtepi32_pd(Every, _mm512_maskz_extracti64x4_epi64(0xF, n, 1));
    };
    for (std::size_t p = 0; p < whole; p += Block) {
        V sum[4];
        M integral = Every;
        for (int j = 0; j < 4; ++j) {
            sum[j] = _mm512_loadu_pd(signal + p + 8 * j);
            const V rounded = _mm512_sub_pd(_mm512_add_pd(sum[j], _mm512_set1_pd(0x1.8p52)), _mm512_set1_pd(0x1.8p52));
            integral &= _mm512_cmp_pd_mask(_mm512_abs_pd(sum[j]), _mm512_set1_pd(0x1p51), _CMP_LT_OQ) &
                        _mm512_cmp_pd_mask(rounded, sum[j], _CMP_EQ_OQ);
        }
        V added[4];
        if (integral == Every) {
            __m512i low = _mm512_setzero_si512(), high = _mm512_setzero_si512();
            for (std::size_t k = 0; k < count; ++k) {
                low = _mm512_add_epi32(low, widened(images[k] + 2 * p));
                high = _mm512_add_epi32(high, widened(images[k] + 2 * p + 32));
            }
            halves(low, added);
            halves(high, added + 2);
            for (int j = 0; j < 4; ++j) sum[j] = _mm512_add_pd(sum[j], added[j]);
        } else {
            for (std::size_t k = 0; k < count; ++k) {
                halves(widened(images[k] + 2 * p), added);
                halves(widened(images[k] + 2 * p + 32), added + 2);
                for (int j = 0; j < 4; ++j) sum[j] = _mm512_add_pd(sum[j], added[j]);
            }
        }
        for (int j = 0; j < 4; ++j) _mm512_storeu_pd(signal + p + 8 * j, sum[j]);
    }
    for (std::size_t p = whole; p < pixels; ++p)
        for (std::size_t k = 0; k < count; ++k) {
            const unsigned bits = images[k][2 * p] | images[k][2 * p + 1] << 8;
            signal[p] += Signed ? static_cast<std::int16_t>(bits) : static_cast<std::uint16_t>(bits);
        }
}

}  // namespace

void addSamplesAvx512(const unsigned char* const* images, std::size_t count, bool signedSamples, double* signal,
                      std::size_t pixels)
{
    if (signedSamples)
        addSamples<true>(images, count, signal, pixels);
    else
        addSamples<false>(images, count, signal, pixels);
}

std::size_t deviationsAvx512(const unsigned char* const* images, std::size_t count, bool signedSamples,
                             const double* mean, double* noise, std::size_t pixels, double scale)
{
    return signedSamples ? ExactDeviations<Avx512, true>::add(images, count, mean, noise, pixels, scale)
                         : ExactDeviations<Avx512, false>::add(images, count, mean, noise, pixels, scale);
}

void snrsAvx512(const double* signal, const double* noise, double* snr, std::size_t pixels)
{
    ExactRatios<Avx512>::snrs(signal, noise, snr, pixels);
}

void noisesAvx512(double* squares, std::size_t pixels, double divisor)
{
    ExactRatios<Avx512>::noises(squares, pixels, divisor);
}

void gFactorsAvx512(const double* snrA, const double* snrB, double* g, std::size_t pixels, double reduction,
                    double scale, double root, double rest)
{
    ExactRatios<Avx512>::gFactors(snrA, snrB, g, pixels, reduction, scale, root, rest);
}

}  // namespace quelby::kernel
