#include "engine/io/DicomImageCheck.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string_view>

namespace quelby {

namespace {

constexpr std::uint32_t PixelRepresentation = 0x00280103;

struct Attribute {
    std::uint32_t tag;
    const char* name;
};

constexpr Attribute ImageAttributes[] = {
    {0x00280002, "Samples per Pixel"}, {0x00280004, "Photometric Interpretation"},
    {0x00280008, "Number of Frames"},  {0x00280010, "Rows"},
    {0x00280011, "Columns"},           {0x00280100, "Bits Allocated"},
    {PixelRepresentation, "Pixel Representation"},
};

std::string named(std::uint32_t tag)
{
    char text[80];
    const auto found = std::find_if(std::begin(ImageAttributes), std::end(ImageAttributes),
                                    [&](const Attribute& a) { return a.tag == tag; });
    std::snprintf(text, sizeof text, "%s (%04X,%04X)", found != std::end(ImageAttributes) ? found->name : "attribute",
                  tag >> 16, tag & 0xFFFF);
    return text;
}

// The storage SOP classes of images a scanner or a workstation writes.
bool imageSopClass(std::string_view uid)
{
    constexpr std::string_view prefix = "1.2.840.10008.5.1.4.1.1.";
    static constexpr std::string_view images[] = {"1",    "1.1",  "1.2",  "2",    "2.1",  "2.2",   "3.1",   "4",
                                                  "4.1",  "4.3",  "4.4",  "6.1",  "7",    "7.1",   "7.2",   "7.3",
                                                  "7.4",  "12.1", "12.2", "20",   "128",  "128.1", "130",   "481.1"};
    if (!uid.starts_with(prefix)) return false;
    uid.remove_prefix(prefix.size());
    return std::find(std::begin(images), std::end(images), uid) != std::end(images);
}

// What the head of a fragment opening a frame holds under `mask`.
struct FrameMarker {
    std::uint32_t mask, value;
};

// How each frame of an encapsulated syntax opens: every fragment of RLE is a
// frame; JPEG and JPEG-LS frames start an image, JPEG 2000 ones a codestream
// with its size. Nothing for syntaxes whose frames are not told apart here.
std::optional<FrameMarker> frameMarker(const std::string& ts)
{
    if (ts == "1.2.840.10008.1.2.5") return FrameMarker{0, 0};
    constexpr std::string_view jpeg = "1.2.840.10008.1.2.4.";
    if (!std::string_view(ts).starts_with(jpeg)) return std::nullopt;
    const int kind = std::atoi(ts.c_str() + jpeg.size());
    if (kind >= 50 && kind < 90) return FrameMarker{0xFFFF0000, 0xFFD80000};
    if ((kind >= 90 && kind < 100) || (kind >= 201 && kind <= 204)) return FrameMarker{0xFFFFFFFF, 0xFF4FFF51};
    return std::nullopt;
}

std::string encapsulatedDefect(const DicomStructure& s, std::size_t frames, std::size_t promised)
{
    // The first item is the offset table.
    const std::size_t fragments = s.fragmentHeads.empty() ? 0 : s.fragmentHeads.size() - 1;
    if (fragments < frames)
        return std::to_string(frames) + " frames, but its pixel data holds " + std::to_string(fragments) + " fragments";
    if (const std::optional<FrameMarker> marker = frameMarker(s.transferSyntax)) {
        const auto opening = static_cast<std::size_t>(
            std::count_if(s.fragmentHeads.begin() + 1, s.fragmentHeads.end(),
                          [&](std::uint32_t head) { return (head & marker->mask) == marker->value; }));
        if (opening != frames)
            return std::to_string(frames) + " frames, but " + std::to_string(opening) +
                   " fragments of its pixel data open one";
    }
    if (promised > readingCeiling(s.fragmentBytes))
        return "an image of " + std::to_string(promised) + " bytes from pixel data of " +
               std::to_string(s.fragmentBytes) + ", more than it can hold";
    return {};
}

}  // namespace

std::size_t promisedPixelBytes(const DicomStructure& s)
{
    // At most 2^16 · 2^16 · 2^24 · 4 · 64 bits: no overflow.
    const std::size_t bits = static_cast<std::size_t>(s.rows.value_or(0)) *
                             static_cast<std::size_t>(s.columns.value_or(0)) *
                             static_cast<std::size_t>(s.frames.value_or(1)) *
                             static_cast<std::size_t>(s.samplesPerPixel.value_or(1)) *
                             static_cast<std::size_t>(s.bitsAllocated.value_or(0));
    return (bits + 7) / 8;
}

bool meantAsImage(const DicomStructure& s)
{
    return s.pixelDataGiven || s.rows || s.columns || s.bitsAllocated || s.pixelRepresentation || s.frames ||
           !s.unreadable.empty() || imageSopClass(s.sopClass);
}

std::string imageDefect(const DicomStructure& s)
{
    if (!s.unreadable.empty()) return "an unreadable " + named(s.unreadable.front());
    const std::pair<bool, std::uint32_t> required[] = {
        {s.rows.has_value(), 0x00280010},          {s.columns.has_value(), 0x00280011},
        {s.samplesPerPixel.has_value(), 0x00280002}, {!s.photometric.empty(), 0x00280004},
        {s.bitsAllocated.has_value(), 0x00280100}, {s.pixelRepresentation.has_value(), PixelRepresentation},
    };
    for (const auto& [given, tag] : required)
        if (!given) return "no " + named(tag);
    if (!s.pixelDataGiven) return "no pixel data";
    const auto frames = static_cast<std::size_t>(s.frames.value_or(1));
    const std::size_t promised = promisedPixelBytes(s);
    const bool encapsulated = !s.native && s.transferSyntax != "1.2.840.10008.1.2.1.99";
    if (encapsulated != !s.pixelDataBytes)
        return encapsulated ? "pixel data not encapsulated, as its transfer syntax asks"
                            : "encapsulated pixel data in a native transfer syntax";
    if (encapsulated) return encapsulatedDefect(s, frames, promised);
    if (*s.pixelDataBytes != promised && *s.pixelDataBytes != promised + 1)
        return "pixel data of " + std::to_string(*s.pixelDataBytes) + " bytes, where " + std::to_string(*s.rows) +
               " x " + std::to_string(*s.columns) + " x " + std::to_string(frames) + " frames of " +
               std::to_string(*s.samplesPerPixel) + " x " + std::to_string(*s.bitsAllocated) + " bits take " +
               std::to_string(promised);
    return {};
}

}  // namespace quelby
