#pragma once

#include "engine/core/Samples.h"
#include "engine/io/Stack.h"

#include <functional>
#include <span>
#include <vector>

namespace quelby {

// Reads one image into `into` (rows × columns two-byte samples, least
// significant byte first, row 0 first) and says their kind. Called from two
// threads at once.
using ImageSupplier = std::function<SampleKind(const ImageRef&, std::span<unsigned char>)>;

// Told what the passes over a stack see, for figures beyond the maps.
class StackPassObserver {
public:
    virtual ~StackPassObserver() = default;
    // After the sums: the mean of a slice, in stored values.
    virtual void meanKnown(std::size_t slice, std::span<const double> storedMean) = 0;
    // During the deviation pass: a few images of a slice, of the repetitions
    // from `first` on, in order. Calls for different slices may come from two
    // threads at once.
    virtual void imagesRead(std::size_t slice, std::size_t first, std::span<const unsigned char* const> images,
                            std::span<const SampleKind> kinds) = 0;
};

// The maps of one slice, row by row.
struct SliceMaps {
    std::vector<double> signal, noise, snr;
};

// The maps of every slice of a stack, in position order. With `rescale` the
// signal is v · slope + intercept and the noise scaled by |slope|.
struct StackMaps {
    int width = 0, height = 0;
    std::vector<SliceMaps> slices;
    std::optional<Rescale> rescale;  // applied
};

// The mean, the standard deviation (divisor N − 1) and their ratio (0 where the
// noise is 0) of every pixel of every slice, by the window's expressions, so
// that a 256 × 256 series gives the window's maps bit for bit. Two passes over
// the images, repetition after repetition and within each slice after slice;
// what is held is the maps and a few images of each slice. Throws InputError.
StackMaps measureStack(const Stack& stack, const ImageSupplier& supply, bool applyRescale,
                       StackPassObserver* observer = nullptr);

// The rescale measureStack applies: the stack's, unless it changes nothing.
std::optional<Rescale> appliedRescale(const Stack& stack, bool applyRescale);

// g = SNR_A / (√R · SNR_B), 0 where SNR_B is 0.
std::vector<double> gFactorMap(std::span<const double> snrA, std::span<const double> snrB, double reduction);

}  // namespace quelby
