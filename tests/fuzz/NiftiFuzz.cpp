// The NIfTI header checks and the reading of images over untrusted bytes, as
// a .nii file or, for bytes that open as gzip does, a .nii.gz file.

#include "InputOnDisk.h"

#include "engine/core/InputError.h"
#include "engine/io/NiftiSource.h"

#include <vector>

namespace {

using namespace quelby;

// As in the DICOM target: the harness's buffer stays within the fuzzer's memory limit.
constexpr std::size_t MaxImageBytes = std::size_t{64} << 20;

void readFirstAndLast(const SeriesSource& source)
{
    const Stack& stack = source.stacks.at(0);
    const std::size_t bytes = std::size_t{2} * static_cast<std::size_t>(stack.keys.rows) *
                              static_cast<std::size_t>(stack.keys.columns);
    if (stack.slices.empty() || bytes > MaxImageBytes) return;
    std::vector<unsigned char> into(bytes);
    NiftiImages images(source);
    images.read(stack.slices.front().repetitions.front(), into);
    images.read(stack.slices.back().repetitions.back(), into);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static quelby::fuzz::InputOnDisk plain(".nii"), gzipped(".nii.gz");
    const bool gzip = size >= 2 && data[0] == 0x1F && data[1] == 0x8B;
    SeriesSource source;
    source.path = (gzip ? gzipped : plain).write({data, size});
    try {
        openNiftiSource(source);
        readFirstAndLast(source);
    } catch (const InputError&) {
    }
    return 0;
}
