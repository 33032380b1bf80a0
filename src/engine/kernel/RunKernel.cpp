#include "engine/kernel/RunKernel.h"

#include "engine/core/CheckedFloat.h"
#include "engine/kernel/ExactDeviations.h"
#include "engine/kernel/ExactRatios.h"
#include "engine/kernel/PixelArithmetic.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <immintrin.h>

namespace quelby {

namespace {

using checked::Extended;

static_assert(std::endian::native == std::endian::little, "samples are decoded as the host's 16-bit integers");

// Pixels taken together: four AVX2 vectors of doubles. A last part of fewer
// pixels goes one pixel at a time, through the portable build.
constexpr std::size_t Block = 16;

// The images of one call: each points at the samples of all its pixels.
using Images = std::span<const unsigned char* const>;

// The largest grain exponent the exact blocks use: beyond it a deviation of a
// full 16-bit range no longer fits 26 bits of grains.
constexpr int MaxGrainExponent = 10;

// The bound on |s| of every sample of a kind: |s − mean| ≤ bound + |mean|.
template <SampleKind K>
constexpr double SampleBound = K == SampleKind::Int16 ? 32768.0 : 65536.0;

// Means on the grain 1/scale: the conditions of ExactDeviations::isOnGrain,
// under which d * d + noise is exact but for its one rounding to double.
template <SampleKind K>
[[gnu::always_inline]] inline bool isExactPixel(double mean, double noise, double scale)
{
    const double m = mean * scale;
    const double z = noise * (scale * scale);
    return ((SampleBound<K> + std::fabs(mean)) * scale < 0x1p26) & ((m + 0x1.8p52) - 0x1.8p52 == m) & (z >= 0.0) &
           (z < 0x1p52) & ((z + 0x1p52) - 0x1p52 == z);
}

template <SampleKind K>
[[gnu::always_inline]] inline std::int32_t sampleOf(const unsigned char* image, std::size_t pixel)
{
    return sampleValue(image, pixel, K);
}

// Everything else: the expression itself.
template <SampleKind K>
[[gnu::always_inline]] inline void addExtendedBlock(Images images, std::size_t pixel, const double* mean,
                                                    double* noise, std::size_t count = Block)
{
    for (std::size_t i = 0; i < count; ++i) {
        double v = noise[i];
        for (const unsigned char* image : images) {
            const Extended d = static_cast<Extended>(sampleOf<K>(image, pixel + i)) - mean[i];
            v = static_cast<double>(d * d + v);
        }
        noise[i] = v;
    }
}

// The portable build: one pixel at a time.
template <SampleKind K>
struct Portable {
    static void addSamples(Images images, std::span<double> signal, std::size_t from = 0)
    {
        for (std::size_t p = from; p < signal.size(); ++p) {
            double sum = signal[p];
            for (const unsigned char* image : images) sum += sampleOf<K>(image, p);
            signal[p] = sum;
        }
    }

    static void storeSamples(const unsigned char* image, std::span<double> map, std::size_t from = 0)
    {
        for (std::size_t p = from; p < map.size(); ++p) map[p] = sampleOf<K>(image, p);
    }

    static bool isExactBlock(const double* mean, const double* noise, double scale)
    {
        bool exact = true;
        for (std::size_t i = 0; i < Block; ++i) exact &= isExactPixel<K>(mean[i], noise[i], scale);
        return exact;
    }

    static void addExactBlock(Images images, std::size_t pixel, const double* mean, double* noise)
    {
        for (std::size_t i = 0; i < Block; ++i) {
            double v = noise[i];
            for (const unsigned char* image : images) {
                const double d = sampleOf<K>(image, pixel + i) - mean[i];
                v = d * d + v;
            }
            noise[i] = v;
        }
    }

    static std::size_t addSquaredDeviations(Images images, std::span<const double> mean, std::span<double> noise,
                                            double scale)
    {
        std::size_t slow = 0;
        const std::size_t whole = noise.size() - noise.size() % Block;
        for (std::size_t p = 0; p < whole; p += Block) {
            if (isExactBlock(&mean[p], &noise[p], scale)) {
                addExactBlock(images, p, &mean[p], &noise[p]);
            } else {
                addExtendedBlock<K>(images, p, &mean[p], &noise[p]);
                slow += Block * images.size();
            }
        }
        addExtendedBlock<K>(images, whole, &mean[whole], &noise[whole], noise.size() - whole);
        return slow + (noise.size() - whole) * images.size();
    }
};

// The AVX2 build: sixteen pixels at a time, four per vector.
template <SampleKind K>
struct Avx2Fma {
    static constexpr int Vectors = Block / 4;

    [[gnu::target("avx2,fma"), gnu::always_inline]] static __m256d samplesAt(const unsigned char* image,
                                                                           std::size_t pixel)
    {
        const __m128i s = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(image + 2 * pixel));
        return _mm256_cvtepi32_pd(widened(s));
    }

    // Eight samples to int32.
    [[gnu::target("avx2,fma"), gnu::always_inline]] static __m128i widened(__m128i s)
    {
        return K == SampleKind::Int16 ? _mm_cvtepi16_epi32(s) : _mm_cvtepu16_epi32(s);
    }

    [[gnu::target("avx2,fma"), gnu::always_inline]] static __m256i widened8(__m128i s)
    {
        return K == SampleKind::Int16 ? _mm256_cvtepi16_epi32(s) : _mm256_cvtepu16_epi32(s);
    }

    // Where every sum of a block is an integer below 2^51 in magnitude, each
    // partial sum of up to KernelImages 16-bit samples is an integer below 2^53,
    // so every addition is exact and the images may be added in int32 first and
    // their total once; elsewhere each image is added in turn.
    [[gnu::target("avx2,fma")]] static void addSamples(Images images, std::span<double> signal)
    {
        const __m256d magnitudeBits = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFF'FFFF'FFFF'FFFF));
        const __m256d limit = _mm256_set1_pd(0x1p51);
        const __m256d shifter = _mm256_set1_pd(0x1.8p52);
        const std::size_t whole = signal.size() - signal.size() % Block;
        for (std::size_t pixel = 0; pixel < whole; pixel += Block) {
            __m256d sum[Vectors];
            __m256d integral = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
            for (int j = 0; j < Vectors; ++j) {
                sum[j] = _mm256_loadu_pd(&signal[pixel + 4 * j]);
                const __m256d rounded = _mm256_sub_pd(_mm256_add_pd(sum[j], shifter), shifter);
                const __m256d magnitude = _mm256_and_pd(sum[j], magnitudeBits);
                integral = _mm256_and_pd(integral, _mm256_cmp_pd(magnitude, limit, _CMP_LT_OQ));
                integral = _mm256_and_pd(integral, _mm256_cmp_pd(rounded, sum[j], _CMP_EQ_OQ));
            }
            if (_mm256_movemask_pd(integral) == 0xF) {
                __m256i low = _mm256_setzero_si256(), high = _mm256_setzero_si256();
                for (const unsigned char* image : images) {
                    const auto* s = reinterpret_cast<const __m128i*>(image + 2 * pixel);
                    low = _mm256_add_epi32(low, widened8(_mm_loadu_si128(s)));
                    high = _mm256_add_epi32(high, widened8(_mm_loadu_si128(s + 1)));
                }
                sum[0] = _mm256_add_pd(sum[0], _mm256_cvtepi32_pd(_mm256_castsi256_si128(low)));
                sum[1] = _mm256_add_pd(sum[1], _mm256_cvtepi32_pd(_mm256_extracti128_si256(low, 1)));
                sum[2] = _mm256_add_pd(sum[2], _mm256_cvtepi32_pd(_mm256_castsi256_si128(high)));
                sum[3] = _mm256_add_pd(sum[3], _mm256_cvtepi32_pd(_mm256_extracti128_si256(high, 1)));
            } else {
                for (const unsigned char* image : images)
                    for (int j = 0; j < Vectors; ++j)
                        sum[j] = _mm256_add_pd(sum[j], samplesAt(image, pixel + 4 * j));
            }
            for (int j = 0; j < Vectors; ++j) _mm256_storeu_pd(&signal[pixel + 4 * j], sum[j]);
        }
        Portable<K>::addSamples(images, signal, whole);
    }

    [[gnu::target("avx2,fma")]] static void storeSamples(const unsigned char* image, std::span<double> map)
    {
        const std::size_t whole = map.size() - map.size() % 4;
        for (std::size_t p = 0; p < whole; p += 4) _mm256_storeu_pd(&map[p], samplesAt(image, p));
        Portable<K>::storeSamples(image, map, whole);
    }
};

double grainScale(int grainExponent) { return std::ldexp(1.0, std::clamp(grainExponent, 0, MaxGrainExponent)); }

// Calls the build of `Kernel` for the kind of the samples.
template <template <SampleKind> class Kernel, class Call>
decltype(auto) forKind(SampleKind kind, Call&& call)
{
    return kind == SampleKind::Int16 ? call(Kernel<SampleKind::Int16>{}) : call(Kernel<SampleKind::Uint16>{});
}

// The images of a batch of the window's buffers, from their pixel `from` on.
struct BufferImages {
    explicit BufferImages(std::span<const ImageBytesBuffer> buffers, std::size_t from = 0)
    {
        for (std::size_t k = 0; k < buffers.size(); ++k) pointers[k] = buffers[k].data() + 2 * from;
        count = buffers.size();
    }
    Images images() const { return Images(pointers.data(), count); }

    std::array<const unsigned char*, KernelImages> pointers{};
    std::size_t count = 0;
};

}  // namespace

namespace kernel {

bool hasAvx2Fma()
{
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
}

bool hasAvx512()
{
    static const bool has = hasAvx2Fma() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    return has;
}

void addExtendedPixel(const unsigned char* const* images, std::size_t count, std::size_t pixel, bool signedSamples,
                      double mean, double& noise)
{
    const Images all(images, count);
    if (signedSamples)
        addExtendedBlock<SampleKind::Int16>(all, pixel, &mean, &noise, 1);
    else
        addExtendedBlock<SampleKind::Uint16>(all, pixel, &mean, &noise, 1);
}

void addSamplesPortable(std::span<const ImageBytesBuffer> images, Map& signal, SampleKind kind)
{
    forKind<Portable>(kind, [&](auto k) { k.addSamples(BufferImages(images).images(), pixelsOf(signal)); });
}

void addSamplesAvx2Fma(std::span<const ImageBytesBuffer> images, Map& signal, SampleKind kind)
{
    forKind<Avx2Fma>(kind, [&](auto k) { k.addSamples(BufferImages(images).images(), pixelsOf(signal)); });
}

void addSamplesAvx512(std::span<const ImageBytesBuffer> images, Map& signal, SampleKind kind)
{
    const BufferImages all(images);
    addSamplesAvx512(all.pointers.data(), all.count, kind == SampleKind::Int16, pixelsOf(signal).data(), FramePixels);
}

std::size_t addSquaredDeviationsPortable(std::span<const ImageBytesBuffer> images, const Map& mean, Map& noise,
                                         int grainExponent, SampleKind kind)
{
    return forKind<Portable>(kind, [&](auto k) {
        return k.addSquaredDeviations(BufferImages(images).images(), pixelsOf(mean), pixelsOf(noise),
                                      grainScale(grainExponent));
    });
}

std::size_t addSquaredDeviationsAvx2Fma(std::span<const ImageBytesBuffer> images, const Map& mean, Map& noise,
                                        int grainExponent, SampleKind kind)
{
    const BufferImages all(images);
    return deviationsAvx2Fma(all.pointers.data(), all.count, kind == SampleKind::Int16, pixelsOf(mean).data(),
                             pixelsOf(noise).data(), FramePixels, grainScale(grainExponent));
}

std::size_t addSquaredDeviationsAvx512(std::span<const ImageBytesBuffer> images, const Map& mean, Map& noise,
                                       int grainExponent, SampleKind kind)
{
    const BufferImages all(images);
    return deviationsAvx512(all.pointers.data(), all.count, kind == SampleKind::Int16, pixelsOf(mean).data(),
                            pixelsOf(noise).data(), FramePixels, grainScale(grainExponent));
}

double snrExtended(double signal, double noise) { return pixel::snr(signal, noise); }

double noiseExtended(double squares, long double divisor) { return pixel::noise(squares, divisor); }

double gFactorExtended(double snrA, double snrB, double reduction, long double scale)
{
    return pixel::gFactor(snrA, snrB, reduction, scale);
}

}  // namespace kernel

void noises(std::span<double> squares, Extended divisor)
{
    if (kernel::hasAvx512() && divisor >= 1 && divisor < 0x1p31L && divisor == std::trunc(divisor)) {
        kernel::noisesAvx512(squares.data(), squares.size(), static_cast<double>(divisor));
        return;
    }
    for (double& v : squares) v = pixel::noise(v, divisor);
}

void snrs(std::span<const double> signal, std::span<const double> noise, std::span<double> snr)
{
    if (kernel::hasAvx512()) {
        kernel::snrsAvx512(signal.data(), noise.data(), snr.data(), snr.size());
        return;
    }
    for (std::size_t p = 0; p < snr.size(); ++p)
        if (noise[p] != 0.0) snr[p] = pixel::snr(signal[p], noise[p]);
}

void gFactors(std::span<const double> snrA, std::span<const double> snrB, std::span<double> g, double reduction,
              Extended scale)
{
    if (kernel::hasAvx512() && reduction >= 0x1p-40 && reduction <= 0x1p40 && scale >= 1 && scale < 0x1p11 &&
        scale == std::trunc(scale)) {
        const Extended root = std::sqrt(static_cast<Extended>(reduction));
        const double high = static_cast<double>(root);
        kernel::gFactorsAvx512(snrA.data(), snrB.data(), g.data(), g.size(), reduction, static_cast<double>(scale),
                               high, static_cast<double>(root - high));
        return;
    }
    for (std::size_t p = 0; p < g.size(); ++p)
        if (snrB[p] != 0.0) g[p] = pixel::gFactor(snrA[p], snrB[p], reduction, scale);
}

void addSamples(const SampleImages& images, std::span<double> signal)
{
    if (kernel::hasAvx512())
        kernel::addSamplesAvx512(images.images.data(), images.images.size(), images.kind == SampleKind::Int16,
                                 signal.data(), signal.size());
    else if (kernel::hasAvx2Fma())
        forKind<Avx2Fma>(images.kind, [&](auto k) { k.addSamples(images.images, signal); });
    else
        forKind<Portable>(images.kind, [&](auto k) { k.addSamples(images.images, signal); });
}

void storeSamples(const unsigned char* image, SampleKind kind, std::span<double> map)
{
    if (kernel::hasAvx2Fma())
        forKind<Avx2Fma>(kind, [&](auto k) { k.storeSamples(image, map); });
    else
        forKind<Portable>(kind, [&](auto k) { k.storeSamples(image, map); });
}

void addSquaredDeviations(const SampleImages& images, std::span<const double> mean, std::span<double> noise,
                          int grainExponent)
{
    const bool signedSamples = images.kind == SampleKind::Int16;
    const double scale = grainScale(grainExponent);
    if (kernel::hasAvx512())
        kernel::deviationsAvx512(images.images.data(), images.images.size(), signedSamples, mean.data(), noise.data(),
                                 noise.size(), scale);
    else if (kernel::hasAvx2Fma())
        kernel::deviationsAvx2Fma(images.images.data(), images.images.size(), signedSamples, mean.data(), noise.data(),
                                  noise.size(), scale);
    else
        forKind<Portable>(images.kind, [&](auto k) { k.addSquaredDeviations(images.images, mean, noise, scale); });
}

void addSamples(std::span<const ImageBytesBuffer> images, Map& signal, SampleKind kind, PixelRange range)
{
    addSamples(SampleImages{BufferImages(images, range.from).images(), kind},
               pixelsOf(signal).subspan(range.from, range.to - range.from));
}

void storeSamples(const ImageBytesBuffer& image, Map& map, SampleKind kind)
{
    storeSamples(image.data(), kind, pixelsOf(map));
}

void addSquaredDeviations(std::span<const ImageBytesBuffer> images, const Map& mean, Map& noise, int grainExponent,
                          SampleKind kind, PixelRange range)
{
    const std::size_t pixels = range.to - range.from;
    addSquaredDeviations(SampleImages{BufferImages(images, range.from).images(), kind},
                         pixelsOf(mean).subspan(range.from, pixels), pixelsOf(noise).subspan(range.from, pixels),
                         grainExponent);
}

}  // namespace quelby
