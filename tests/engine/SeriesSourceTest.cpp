#include "DicomSeries.h"
#include "TempFolder.h"
#include "engine/core/InputError.h"
#include "engine/io/DicomFrames.h"
#include "engine/io/SeriesSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <vector>

using namespace quelby;
using quelby::test::TempFolder;

namespace {

using Bytes = std::vector<unsigned char>;

void writeBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), {}};
}

std::string inputErrorOf(const std::function<void()>& step)
{
    try {
        step();
    } catch (const InputError& e) {
        return e.what();
    }
    return "(no error)";
}

// Raw files of any layout: one stack, one slice, each file a repetition in
// listing order, its last records read with their byte order undone.
TEST(SeriesSource, RawFilesAreRepetitionsOfTheirLastRecords)
{
    struct Case {
        RawLayout layout;
        std::size_t header;
    };
    const Case cases[] = {
        {{256, 256, SampleKind::Int16, false}, 512},
        {{5, 3, SampleKind::Uint16, true}, 7},
        {{4, 2, SampleKind::Int16, true}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.layout.width) + "x" + std::to_string(c.layout.height));
        TempFolder tmp;
        const std::size_t bytes = 2 * static_cast<std::size_t>(c.layout.width * c.layout.height);
        std::vector<Bytes> stored;
        for (const char* name : {"b", "A", "c"}) {
            Bytes file(c.header, 0xEE);
            for (std::size_t i = 0; i < bytes; ++i) file.push_back(static_cast<unsigned char>(i * 7 + name[0]));
            writeBytes(tmp.str() + "/" + name, file);
            // The last whole two-byte records, counted from the first byte.
            const auto start = file.begin() + static_cast<std::ptrdiff_t>(2 * (file.size() / 2) - bytes);
            stored.emplace_back(start, start + static_cast<std::ptrdiff_t>(bytes));
        }
        const SeriesSource source = openSeriesSource(tmp.str(), c.layout);
        ASSERT_EQ(source.format, SeriesSource::Format::Raw);
        ASSERT_EQ(source.stacks.size(), 1u);
        const Stack& stack = source.stacks.front();
        EXPECT_EQ(stack.keys.rows, c.layout.height);
        EXPECT_EQ(stack.keys.columns, c.layout.width);
        ASSERT_EQ(stack.slices.size(), 1u);
        ASSERT_EQ(stack.repetitions(), 3u);
        ImageReader reader(source);
        const std::size_t order[] = {1, 0, 2};  // A, b, c
        for (std::size_t k = 0; k < 3; ++k) {
            Bytes image(bytes), expected = stored[order[k]];
            if (c.layout.bigEndian)
                for (std::size_t i = 0; i < bytes; i += 2) std::swap(expected[i], expected[i + 1]);
            EXPECT_EQ(reader.read(stack.slices[0].repetitions[k], image), c.layout.kind);
            EXPECT_EQ(image, expected) << "repetition " << k;
        }
    }
}

TEST(SeriesSource, WhatCannotBeASourceIsRefusedByName)
{
    TempFolder tmp;
    writeBytes(tmp.str() + "/plain", Bytes(100, 1));
    const std::string folder = tmp.sub("series");
    writeBytes(folder + "/a", Bytes(24, 1));
    writeBytes(folder + "/short", Bytes(23, 1));
    const RawLayout layout{4, 3, SampleKind::Int16, false};
    struct Case {
        std::string path, message;
    };
    const Case cases[] = {
        {tmp.str() + "/missing", tmp.str() + "/missing: no such folder"},
        {tmp.str() + "/plain", tmp.str() + "/plain: is a file, not a folder"},
        {folder, "short: 23 bytes, less than one 4 x 3 image of 16-bit samples (--raw)"},
    };
    for (const Case& c : cases) EXPECT_EQ(inputErrorOf([&] { openSeriesSource(c.path, layout); }), c.message);

    // A file that goes missing once the source is open is named, in English.
    std::filesystem::remove(folder + "/short");
    const SeriesSource source = openSeriesSource(folder, layout);
    std::filesystem::remove(folder + "/a");
    ImageReader reader(source);
    Bytes image(24);
    EXPECT_EQ(inputErrorOf([&] { reader.read(source.stacks[0].slices[0].repetitions[0], image); }),
              "a: cannot be read (No such file or directory)");
}

// A file is walked from its first bytes where they hold its header, and its
// frames later read where that walk found them: what lies beyond those bytes
// (a long header, elements after the pixel data, frames), and a file changed
// after the walk, must read as the whole file does.
TEST(SeriesSource, FramesReadWhereverTheHeaderEndsAndAfterAChange)
{
    struct Case {
        const char* what;
        std::function<void(DicomLayout&)> layout;
    };
    const Case cases[] = {
        {"plain", [](DicomLayout&) {}},
        {"an element after the pixel data", [](DicomLayout& l) { l.trailingPadding = 1000; }},
        {"a header longer than the bytes first read", [](DicomLayout& l) { l.attributes[0x0040A160] = std::string(70000, 'x'); }},
        {"three frames", [](DicomLayout& l) { l.frames = 3; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder tmp;
        const std::string folder = tmp.sub("series");
        DicomLayout layout;
        layout.seriesUid = "1.2.3";
        c.layout(layout);
        const auto samplesOf = [&](int seed) {
            std::vector<std::int32_t> samples(FramePixels * static_cast<std::size_t>(layout.frames));
            for (std::size_t p = 0; p < samples.size(); ++p) samples[p] = static_cast<std::int32_t>((p * 7919 + static_cast<std::size_t>(seed) * 104729) % 60000) - 30000;
            return samples;
        };
        for (int k = 0; k < 2; ++k) {
            layout.instanceNumber = k + 1;
            writeDicomImage(folder + "/IM_" + std::to_string(k), layout, samplesOf(k));
        }
        const SeriesSource source = openSeriesSource(folder, {});
        // IM_0 rewritten with other samples further on in the file; IM_1 cut inside its pixel data.
        layout.attributes[0x00204000] = "rewritten after the walk";
        layout.instanceNumber = 1;
        writeDicomImage(folder + "/IM_0", layout, samplesOf(5));
        Bytes cut = fileBytes(folder + "/IM_1");
        cut.resize(cut.size() - 4096);
        writeBytes(folder + "/IM_1", cut);

        ImageReader reader(source);
        Bytes image(2 * FramePixels);
        const std::vector<std::int32_t> expected = samplesOf(5);
        for (std::uint32_t frame = 0; frame < static_cast<std::uint32_t>(layout.frames); ++frame) {
            EXPECT_EQ(reader.read({0, frame}, image), SampleKind::Int16);
            for (std::size_t p = 0; p < FramePixels; ++p)
                ASSERT_EQ(sampleValue(image.data(), p, SampleKind::Int16), expected[frame * FramePixels + p]) << p;
        }
        EXPECT_NE(inputErrorOf([&] { reader.read({1, 0}, image); }).find("IM_1: "), std::string::npos);
    }
}

// Frames come out as 16-bit samples, 8-bit ones widened with their sign.
TEST(DicomFrames, EachFrameAsSixteenBitSamples)
{
    struct Case {
        int bits;
        bool isSigned;
        std::int32_t low, high;
    };
    const Case cases[] = {{8, true, -128, 127}, {8, false, 0, 255}, {16, true, -32768, 32767}, {16, false, 0, 65535}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + (c.isSigned ? " signed" : " unsigned"));
        TempFolder tmp;
        DicomLayout layout;
        layout.rows = 3;
        layout.columns = 5;
        layout.frames = 2;
        layout.bitsAllocated = c.bits;
        layout.isSigned = c.isSigned;
        std::vector<std::int32_t> samples(30);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = i % 3 == 0 ? c.low : i % 3 == 1 ? c.high : 1;
        const std::string path = tmp.str() + "/multi.dcm";
        writeDicomImage(path, layout, samples);
        DicomFrames frames;
        frames.open(InputFile(path));
        EXPECT_TRUE(frames.holds(path));
        for (int k = 0; k < 2; ++k) {
            Bytes image(30);
            EXPECT_EQ(frames.frame(k, image), c.isSigned ? SampleKind::Int16 : SampleKind::Uint16);
            for (std::size_t p = 0; p < 15; ++p)
                ASSERT_EQ(sampleValue(image.data(), p, c.isSigned ? SampleKind::Int16 : SampleKind::Uint16),
                          samples[15 * static_cast<std::size_t>(k) + p])
                    << "frame " << k << " pixel " << p;
        }
    }
}

// Pixel data longer than the attributes promise is a broken file, not an image.
TEST(DicomFrames, PixelDataOfAnotherLengthIsRefused)
{
    TempFolder tmp;
    const std::string path = tmp.str() + "/image.dcm";
    writeDicomImage(path, DicomLayout{}, std::vector<std::int32_t>(FramePixels, 7));
    Bytes bytes = fileBytes(path);
    const Bytes rowsElement = {0x28, 0x00, 0x10, 0x00, 'U', 'S', 0x02, 0x00};
    const auto at = std::search(bytes.begin(), bytes.end(), rowsElement.begin(), rowsElement.end());
    ASSERT_NE(at, bytes.end());
    at[8] = 255;  // 255 rows of 256 columns, 256 rows stored
    at[9] = 0;
    writeBytes(path, bytes);
    // Refused on opening, before any room is taken for its frames.
    DicomFrames frames;
    EXPECT_THROW(frames.open(InputFile(path)), DicomError);
}

}  // namespace
