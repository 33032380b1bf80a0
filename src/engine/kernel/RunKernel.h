#pragma once

#include "engine/core/Samples.h"
#include "engine/core/MapStore.h"

#include <span>

// The per-sample work of the measurement run, done for a few images at a time
// so that the map rows stay in the cache while every image in turn is added.
// Each pixel still takes the images in the order given, with exactly the
// arithmetic of one image at a time, so the maps come out bit for bit the same.
// The images of one call all hold samples of the kind given.
namespace quelby {

// The most images one call takes (1 MiB of the window's images).
inline constexpr int KernelImages = 8;

// Images of any number of pixels: each points at its samples, two bytes each,
// least significant first, all of one kind.
struct SampleImages {
    std::span<const unsigned char* const> images;
    SampleKind kind = SampleKind::Int16;
};

// The kernels over maps of any size, the pixels in one run of doubles.
void addSamples(const SampleImages& images, std::span<double> signal);
void storeSamples(const unsigned char* image, SampleKind kind, std::span<double> map);
void addSquaredDeviations(const SampleImages& images, std::span<const double> mean, std::span<double> noise,
                          int grainExponent);

// The noise √(squares / divisor) and, where the noise is not 0, the SNR
// signal / noise of every pixel, each the long-double expression stored as a
// double. A failure leaves the pixels before the failing one done.
void noises(std::span<double> squares, long double divisor);
void snrs(std::span<const double> signal, std::span<const double> noise, std::span<double> snr);
// g := scale · SNR_A / (√R · SNR_B) where SNR_B is not 0, likewise.
void gFactors(std::span<const double> snrA, std::span<const double> snrB, std::span<double> g, double reduction,
              long double scale);

// The window's maps: every pixel, or those from `from` up to `to` (best 32
// apart: the vector kernels take 32 pixels at a time and the long double the
// rest).
struct PixelRange {
    std::size_t from = 0, to = FramePixels;
};

// For every pixel and each image in turn: signal := signal + the sample.
void addSamples(std::span<const ImageBytesBuffer> images, Map& signal, SampleKind kind = SampleKind::Int16,
                PixelRange range = {});

// Every pixel of the map := the sample of the image.
void storeSamples(const ImageBytesBuffer& image, Map& map, SampleKind kind = SampleKind::Int16);

// For every pixel and each image in turn: noise := (s − mean)² + noise, the
// expression evaluated in long double and stored as a double. `grainExponent`
// k says the means are expected to be multiples of 2^-k (a file count of 2^k),
// where a shorter exact form applies; the result never depends on it.
void addSquaredDeviations(std::span<const ImageBytesBuffer> images, const Map& mean, Map& noise, int grainExponent,
                          SampleKind kind = SampleKind::Int16, PixelRange range = {});

// The builds of each kernel, for the tests: the portable one, the one for
// processors with AVX2 and FMA and the one for AVX-512 (call each only where
// its hasX()). The deviation builds return the number of samples that took
// the long-double path.
namespace kernel {
bool hasAvx2Fma();
bool hasAvx512();
void addSamplesPortable(std::span<const ImageBytesBuffer> images, Map& signal, SampleKind kind);
void addSamplesAvx2Fma(std::span<const ImageBytesBuffer> images, Map& signal, SampleKind kind);
void addSamplesAvx512(std::span<const ImageBytesBuffer> images, Map& signal, SampleKind kind);
std::size_t addSquaredDeviationsPortable(std::span<const ImageBytesBuffer> images, const Map& mean, Map& noise,
                                         int grainExponent, SampleKind kind);
std::size_t addSquaredDeviationsAvx2Fma(std::span<const ImageBytesBuffer> images, const Map& mean, Map& noise,
                                        int grainExponent, SampleKind kind);
std::size_t addSquaredDeviationsAvx512(std::span<const ImageBytesBuffer> images, const Map& mean, Map& noise,
                                       int grainExponent, SampleKind kind);
}  // namespace kernel

}  // namespace quelby
