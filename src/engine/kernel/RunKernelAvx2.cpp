// Compiled for AVX2 and FMA: four doubles a vector.
#include "engine/kernel/ExactDeviations.h"

namespace quelby::kernel {

namespace {

struct Avx2 {
    using V = __m256d;
    using M = __m256d;
    static constexpr int Lanes = 4;
    static constexpr int Vectors = 4;  // as many as leave registers for the rest

    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static V set(double x) { return _mm256_set1_pd(x); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    // 2^-k from 2^k: the biased exponent 1023 + k becomes 1023 − k.
    static V reciprocal(V a)
    {
        return _mm256_castsi256_pd(_mm256_sub_epi64(_mm256_set1_epi64x(0x7FE0'0000'0000'0000), _mm256_castpd_si256(a)));
    }
    static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static V max(V a, V b) { return _mm256_max_pd(a, b); }
    static V min(V a, V b) { return _mm256_min_pd(a, b); }
    static V abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static V exponent(V a) { return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FF0'0000'0000'0000))); }
    static V nearest(V a) { return _mm256_round_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    static M eq(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M lt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M le(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M ge(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static M both(M a, M b) { return _mm256_and_pd(a, b); }
    static M either(M a, M b) { return _mm256_or_pd(a, b); }
    static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }

    template <bool Signed>
    static V samples(const unsigned char* bytes)
    {
        const __m128i s = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes));
        return _mm256_cvtepi32_pd(Signed ? _mm_cvtepi16_epi32(s) : _mm_cvtepu16_epi32(s));
    }

    // 16 pixels of 16-bit samples are one vector of integers.
    template <bool Signed>
    static void range(const unsigned char* const* images, std::size_t count, std::size_t pixel, V* low, V* high)
    {
        __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(images[0] + 2 * pixel)), hi = lo;
        for (std::size_t k = 1; k < count; ++k) {
            const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(images[k] + 2 * pixel));
            lo = Signed ? _mm256_min_epi16(lo, s) : _mm256_min_epu16(lo, s);
            hi = Signed ? _mm256_max_epi16(hi, s) : _mm256_max_epu16(hi, s);
        }
        alignas(32) unsigned char bytes[2][32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(bytes[0]), lo);
        _mm256_store_si256(reinterpret_cast<__m256i*>(bytes[1]), hi);
        for (int j = 0; j < 16 / Lanes; ++j) {
            low[j] = samples<Signed>(bytes[0] + 2 * Lanes * j);
            high[j] = samples<Signed>(bytes[1] + 2 * Lanes * j);
        }
    }
};

}  // namespace

std::size_t deviationsAvx2Fma(const unsigned char* const* images, std::size_t count, bool signedSamples,
                              const double* mean, double* noise, std::size_t pixels, double scale)
{
    return signedSamples ? ExactDeviations<Avx2, true>::add(images, count, mean, noise, pixels, scale)
                         : ExactDeviations<Avx2, false>::add(images, count, mean, noise, pixels, scale);
}

}  // namespace quelby::kernel
