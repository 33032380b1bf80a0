#pragma once

#include "engine/series/StackMeasurement.h"

#include <cstddef>
#include <vector>

namespace quelby {

// The images of every slice of a stack for a few repetitions at a time: read
// repetition after repetition and within each slice after slice, the order in
// which a multi-frame file or a 4-D NIfTI file stores them.
class RepetitionBatches {
public:
    // Room for up to KernelImages repetitions of every slice, fewer where the
    // slices are many or large.
    RepetitionBatches(const Stack& stack, const ImageSupplier& supply, std::size_t imageBytes);

    std::size_t repetitions() const { return repetitions_; }  // in the batch read last

    // Reads the batch of repetitions from `first` on; false once they are all read.
    bool read(std::size_t first);

    const unsigned char* image(std::size_t slice, std::size_t repetition) const;
    SampleKind kind(std::size_t slice, std::size_t repetition) const;

    std::size_t capacity() const { return capacity_; }

private:
    std::size_t at(std::size_t slice, std::size_t repetition) const { return slice * capacity_ + repetition; }

    const Stack& stack_;
    const ImageSupplier& supply_;
    std::size_t imageBytes_;
    std::size_t capacity_;
    std::size_t repetitions_ = 0;
    std::vector<unsigned char> bytes_;
    std::vector<SampleKind> kinds_;
};

}  // namespace quelby
