#include "engine/series/SeriesMaps.h"

#include "engine/kernel/PixelArithmetic.h"
#include "engine/kernel/RunKernel.h"
#include "engine/kernel/TwoThreads.h"

#include <bit>

namespace quelby {

namespace {

// Hands the repetitions to `pass` in order, a few of one sample kind at a time,
// each pointing at the pixel `first`.
template <class Pass>
void inBatches(const Series& series, std::size_t first, Pass&& pass)
{
    const unsigned char* images[KernelImages];
    std::size_t held = 0;
    SampleKind kind = SampleKind::Int16;
    const auto handOn = [&] {
        if (held > 0) pass(SampleImages{std::span(images, held), kind});
        held = 0;
    };
    for (std::size_t k = 0; k < series.repetitions(); ++k) {
        if (held == KernelImages || (held > 0 && series.kinds[k] != kind)) handOn();
        kind = series.kinds[k];
        images[held++] = series.repetition(k) + 2 * first;
    }
    handOn();
}

}  // namespace

SeriesMaps measureSeries(const Series& series)
{
    SeriesMaps maps;
    maps.width = series.width;
    maps.height = series.height;
    const std::size_t pixels = series.pixels();
    maps.signal.assign(pixels, 0.0);
    maps.noise.assign(pixels, 0.0);
    maps.snr.assign(pixels, 0.0);
    const auto count = static_cast<checked::Extended>(series.repetitions());
    const int grainExponent = std::countr_zero(static_cast<std::uint32_t>(series.repetitions()));
    // Two halves of the pixels, one on each core, split where a block of the
    // vector kernels ends.
    const std::size_t half = pixels / 2 - pixels / 2 % 32;
    forEachOnTwoThreads(2, [&](std::size_t part) {
        const std::size_t first = part == 0 ? 0 : half, n = part == 0 ? half : pixels - half;
        const std::span<double> signal(maps.signal.data() + first, n), noise(maps.noise.data() + first, n);
        inBatches(series, first, [&](const SampleImages& images) { addSamples(images, signal); });
        for (double& v : signal) v = pixel::mean(v, count);
        inBatches(series, first,
                  [&](const SampleImages& images) { addSquaredDeviations(images, signal, noise, grainExponent); });
        noises(noise, count - 1);
        snrs(signal, noise, std::span<double>(maps.snr.data() + first, n));
    });
    if (series.rescale) {
        // Stored values times the slope plus the intercept: the signal moves with
        // both, the noise with the slope alone.
        const auto [slope, intercept] = *series.rescale;
        for (std::size_t p = 0; p < pixels; ++p) {
            maps.signal[p] = checked::store(static_cast<checked::Extended>(maps.signal[p]) * slope + intercept);
            maps.noise[p] = checked::store(static_cast<checked::Extended>(maps.noise[p]) * std::fabs(slope));
            if (maps.noise[p] == 0.0) maps.snr[p] = 0.0;
        }
        snrs(maps.signal, maps.noise, maps.snr);
    }
    return maps;
}

std::vector<double> gFactorMap(const SeriesMaps& a, const SeriesMaps& b, double reduction)
{
    std::vector<double> g(a.snr.size(), 0.0);
    gFactors(a.snr, b.snr, g, reduction, 1.0L);
    return g;
}

}  // namespace quelby
