// The DICOM reading path over untrusted bytes: the structure walk, the facts
// of each image, and the frames as the readers take them.

#include "InputOnDisk.h"

#include "engine/io/DicomFrames.h"
#include "engine/io/DicomImageFacts.h"
#include "engine/io/DicomStructure.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

using namespace quelby;

// A frame beyond this is left unread: the harness's buffer must stay within
// the fuzzer's memory limit, whatever the file claims.
constexpr std::size_t MaxFrameBytes = std::size_t{64} << 20;

// Files the library decodes cost a fork each, some thousand times the walk;
// QUELBY_FUZZ_LIBRARY_EVERY=N decodes only one such input in N (chosen by
// their bytes, so that a run repeats), 1 by default.
std::size_t libraryEvery()
{
    static const std::size_t every = [] {
        const char* text = std::getenv("QUELBY_FUZZ_LIBRARY_EVERY");
        const long n = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
        return static_cast<std::size_t>(std::max(n, 1L));
    }();
    return every;
}

bool takenByLibrary(const DicomStructure& s) { return !s.native || !s.pixelData; }

bool chosen(std::span<const std::uint8_t> bytes)
{
    std::size_t hash = 14695981039346656037ull;
    for (const std::uint8_t b : bytes) hash = (hash ^ b) * 1099511628211ull;
    return hash % libraryEvery() == 0;
}

void readFrames(const std::string& path)
{
    const InputFile file(path);
    DicomFrames frames;
    try {
        const DicomPixelFormat& f = frames.open(file);
        if (f.rows <= 0 || f.columns <= 0 || f.frames <= 0) return;
        const std::size_t bytes = std::size_t{2} * static_cast<std::size_t>(f.rows) * static_cast<std::size_t>(f.columns);
        if (bytes > MaxFrameBytes) return;
        std::vector<unsigned char> into(bytes);
        for (const int k : {0, f.frames / 2, f.frames - 1}) frames.frame(k, into);
    } catch (const DicomError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static quelby::fuzz::InputOnDisk input(".dcm");
    const std::span<const std::uint8_t> bytes(data, size);
    const std::optional<DicomStructure> structure = walkDicomStructure(bytes);
    if (!structure) return 0;
    (void)dicomImageFacts(*structure, 0);
    if (takenByLibrary(*structure) && !chosen(bytes)) return 0;
    readFrames(input.write(bytes));
    return 0;
}
