#include "engine/series/StackMeasurement.h"

#include "engine/core/InputError.h"
#include "engine/kernel/PixelArithmetic.h"
#include "engine/kernel/RunKernel.h"
#include "engine/kernel/TwoThreads.h"
#include "engine/series/RepetitionBatches.h"

#include <bit>
#include <cmath>
#include <string>

namespace quelby {

namespace {

// Hands the batch's images of one slice to `pass`, a run of one sample kind at
// a time, each pointing at the pixel `first`.
template <class Pass>
void inRuns(const RepetitionBatches& batch, std::size_t slice, std::size_t first, Pass&& pass)
{
    const unsigned char* images[KernelImages];
    std::size_t held = 0;
    SampleKind kind = SampleKind::Int16;
    for (std::size_t r = 0; r < batch.repetitions(); ++r) {
        if (held > 0 && batch.kind(slice, r) != kind) {
            pass(SampleImages{std::span(images, held), kind});
            held = 0;
        }
        kind = batch.kind(slice, r);
        images[held++] = batch.image(slice, r) + 2 * first;
    }
    if (held > 0) pass(SampleImages{std::span(images, held), kind});
}

// One of `parts` runs of a slice's pixels, shared between the cores, split
// where a block of the vector kernels ends.
struct PixelPart {
    std::size_t first, count;
};

PixelPart part(std::size_t pixels, std::size_t which, std::size_t parts)
{
    const auto edge = [&](std::size_t k) { return k == parts ? pixels : pixels * k / parts - pixels * k / parts % 32; };
    return {edge(which), edge(which + 1) - edge(which)};
}

std::span<double> within(std::vector<double>& map, PixelPart h) { return std::span(map.data() + h.first, h.count); }

// Stored values times the slope plus the intercept: the signal moves with
// both, the noise with the slope alone.
void rescaleMaps(SliceMaps& maps, const Rescale& rescale)
{
    for (std::size_t p = 0; p < maps.signal.size(); ++p) {
        maps.signal[p] = checked::store(static_cast<checked::Extended>(maps.signal[p]) * rescale.slope + rescale.intercept);
        maps.noise[p] = checked::store(static_cast<checked::Extended>(maps.noise[p]) * std::fabs(rescale.slope));
        if (maps.noise[p] == 0.0) maps.snr[p] = 0.0;
    }
    snrs(maps.signal, maps.noise, maps.snr);
}

}  // namespace

StackMaps measureStack(const Stack& stack, const ImageSupplier& supply, bool applyRescale, StackPassObserver* observer)
{
    const std::size_t n = stack.repetitions();
    if (stack.keys.rows < 1 || stack.keys.columns < 1 || stack.slices.empty()) throw InputError("a stack without images");
    if (n < 2) throw InputError(std::to_string(n) + " repetition(s); at least 2 are needed for the noise");
    StackMaps maps;
    maps.width = stack.keys.columns;
    maps.height = stack.keys.rows;
    const std::size_t pixels = static_cast<std::size_t>(maps.width) * static_cast<std::size_t>(maps.height);
    const std::vector<double> zeros(pixels, 0.0);
    maps.slices.assign(stack.slices.size(), SliceMaps{zeros, zeros, zeros});
    const std::size_t slices = maps.slices.size();
    RepetitionBatches batches(stack, supply, 2 * pixels);

    for (std::size_t first = 0; batches.read(first); first += batches.repetitions())
        forEachOnTwoThreads(2 * slices, [&](std::size_t job) {
            const std::size_t s = job / 2;
            const PixelPart h = part(pixels, job % 2, 2);
            const std::span<double> signal = within(maps.slices[s].signal, h);
            inRuns(batches, s, h.first, [&](const SampleImages& images) { addSamples(images, signal); });
        });
    const auto count = static_cast<checked::Extended>(n);
    for (std::size_t s = 0; s < slices; ++s) {
        for (double& v : maps.slices[s].signal) v = pixel::mean(v, count);
        if (observer) observer->meanKnown(s, maps.slices[s].signal);
    }

    // Each slice's pixels in parts and, beside them, what the observer makes of
    // its images: taken first, since it takes longest, the parts then even out.
    const std::size_t parts = observer ? 4 : 2, jobs = parts + (observer ? 1 : 0);
    const int grainExponent = std::countr_zero(static_cast<std::uint32_t>(n));
    for (std::size_t first = 0; batches.read(first); first += batches.repetitions())
        forEachOnTwoThreads(jobs * slices, [&](std::size_t job) {
            const std::size_t s = job / jobs;
            if (observer && job % jobs == 0) {
                const unsigned char* images[KernelImages];
                SampleKind kinds[KernelImages];
                for (std::size_t r = 0; r < batches.repetitions(); ++r) {
                    images[r] = batches.image(s, r);
                    kinds[r] = batches.kind(s, r);
                }
                observer->imagesRead(s, first, std::span(images, batches.repetitions()),
                                     std::span(kinds, batches.repetitions()));
                return;
            }
            const PixelPart h = part(pixels, job % jobs - (observer ? 1 : 0), parts);
            const std::span<double> mean = within(maps.slices[s].signal, h), noise = within(maps.slices[s].noise, h);
            inRuns(batches, s, h.first,
                   [&](const SampleImages& images) { addSquaredDeviations(images, mean, noise, grainExponent); });
        });
    for (SliceMaps& slice : maps.slices) {
        noises(slice.noise, count - 1);
        snrs(slice.signal, slice.noise, slice.snr);
    }
    maps.rescale = appliedRescale(stack, applyRescale);
    if (maps.rescale)
        for (SliceMaps& slice : maps.slices) rescaleMaps(slice, *maps.rescale);
    return maps;
}

std::optional<Rescale> appliedRescale(const Stack& stack, bool applyRescale)
{
    if (!applyRescale || !stack.rescale || *stack.rescale == Rescale{}) return std::nullopt;
    return stack.rescale;
}

std::vector<double> gFactorMap(std::span<const double> snrA, std::span<const double> snrB, double reduction)
{
    std::vector<double> g(snrA.size(), 0.0);
    gFactors(snrA, snrB, g, reduction, 1.0L);
    return g;
}

}  // namespace quelby
