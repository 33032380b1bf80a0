#include "engine/series/RepetitionBatches.h"

#include "engine/kernel/RunKernel.h"
#include "engine/kernel/TwoThreads.h"

#include <algorithm>

namespace quelby {

namespace {

// What the read buffers may take: 8 repetitions of 16 slices of 512 × 512.
constexpr std::size_t ReadBudgetBytes = std::size_t{64} << 20;

}  // namespace

RepetitionBatches::RepetitionBatches(const Stack& stack, const ImageSupplier& supply, std::size_t imageBytes)
    : stack_(stack), supply_(supply), imageBytes_(imageBytes),
      capacity_(std::clamp<std::size_t>(ReadBudgetBytes / std::max<std::size_t>(1, stack.slices.size() * imageBytes), 1,
                                        KernelImages)),
      bytes_(capacity_ * stack.slices.size() * imageBytes), kinds_(capacity_ * stack.slices.size())
{
}

bool RepetitionBatches::read(std::size_t first)
{
    const std::size_t total = stack_.repetitions();
    repetitions_ = first < total ? std::min(capacity_, total - first) : 0;
    // Read on both cores: reading is most of a pass.
    const std::size_t slices = stack_.slices.size();
    forEachOnTwoThreads(repetitions_ * slices, [&](std::size_t k) {
        const std::size_t r = k / slices, s = k % slices;
        kinds_[at(s, r)] = supply_(stack_.slices[s].repetitions[first + r],
                                   std::span(bytes_.data() + at(s, r) * imageBytes_, imageBytes_));
    });
    return repetitions_ > 0;
}

const unsigned char* RepetitionBatches::image(std::size_t slice, std::size_t repetition) const
{
    return bytes_.data() + at(slice, repetition) * imageBytes_;
}

SampleKind RepetitionBatches::kind(std::size_t slice, std::size_t repetition) const
{
    return kinds_[at(slice, repetition)];
}

}  // namespace quelby
