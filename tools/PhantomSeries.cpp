#include "PhantomSeries.h"

#include "DicomSeries.h"
#include "engine/core/MapStore.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace quelby {

namespace {

double squaredDistance(int row, int col)
{
    const double dy = row - PhantomCentre;
    const double dx = col - PhantomCentre;
    return dx * dx + dy * dy;
}

void writeFile(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace

double trueGFactor(int row, int col)
{
    return 1.0 + GFactorPeak * std::exp(-squaredDistance(row, col) / (2.0 * GFactorWidth * GFactorWidth));
}

double trueSignal(const PhantomSeries& series, int row, int col)
{
    return squaredDistance(row, col) <= series.discRadius * series.discRadius ? series.signal : series.background;
}

double trueNoise(const PhantomSeries& series, int row, int col)
{
    if (!series.parallel) return series.sigma;
    return series.sigma * trueGFactor(row, col) * std::sqrt(series.reduction);
}

double trueSnr(const PhantomSeries& series, int row, int col)
{
    return trueSignal(series, row, col) / trueNoise(series, row, col);
}

std::int16_t toSample(double value)
{
    const double rounded = std::round(value);
    if (rounded >= std::numeric_limits<std::int16_t>::max()) return std::numeric_limits<std::int16_t>::max();
    if (rounded <= std::numeric_limits<std::int16_t>::min()) return std::numeric_limits<std::int16_t>::min();
    return static_cast<std::int16_t>(rounded);
}

std::vector<std::int16_t> phantomImage(const PhantomSeries& series, GaussianNoise& noise)
{
    std::vector<std::int16_t> image;
    image.reserve(FramePixels);
    for (int r = 0; r < ImageSide; ++r)
        for (int c = 0; c < ImageSide; ++c)
            image.push_back(toSample(trueSignal(series, r, c) + trueNoise(series, r, c) * noise.next()));
    return image;
}

std::vector<unsigned char> phantomFileBytes(const PhantomSeries& series, GaussianNoise& noise)
{
    std::vector<unsigned char> bytes(static_cast<std::size_t>(series.headerBytes), PhantomHeaderByte);
    bytes.reserve(bytes.size() + 2 * FramePixels);
    for (const std::int16_t sample : phantomImage(series, noise)) {
        const auto bits = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<unsigned char>(bits & 0xFF));
        bytes.push_back(static_cast<unsigned char>(bits >> 8));
    }
    return bytes;
}

std::string phantomFileName(int number, bool dicom)
{
    char name[32];
    std::snprintf(name, sizeof name, dicom ? "img%04d.dcm" : "img%04d.raw", number);
    return name;
}

void writePhantomSeries(const std::string& folder, const PhantomSeries& series)
{
    std::filesystem::create_directories(folder);
    GaussianNoise noise(series.seed);
    for (int i = 1; i <= series.files; ++i) {
        const std::string path = folder + "/" + phantomFileName(i, series.dicom);
        if (series.dicom) {
            const std::vector<std::int16_t> image = phantomImage(series, noise);
            DicomLayout layout;
            layout.seriesUid = series.parallel ? "1.2.826.0.1.3680043.10.1.2" : "1.2.826.0.1.3680043.10.1.1";
            layout.seriesDescription = series.parallel ? "phantom, parallel imaging" : "phantom";
            layout.protocolName = "quelby phantom";
            layout.pixelSpacing = "1\\1";
            layout.imagePosition = "-128\\-128\\0";
            layout.attributes[0x00180050] = "5";                // Slice Thickness
            layout.attributes[0x00080070] = "Quelby phantom";   // Manufacturer
            layout.instanceNumber = i;
            if (series.parallel) layout.reductionInPlane = series.reduction;
            writeDicomImage(path, layout, std::vector<std::int32_t>(image.begin(), image.end()));
        } else {
            writeFile(path, phantomFileBytes(series, noise));
        }
    }
}

PhantomSeries withParallelImaging(const PhantomSeries& series)
{
    PhantomSeries parallel = series;
    parallel.parallel = true;
    parallel.seed = series.seed ^ 0x9E3779B97F4A7C15ULL;
    return parallel;
}

void writeDemo(const std::string& folder, const PhantomSeries& series)
{
    PhantomSeries plain = series;
    plain.parallel = false;
    writePhantomSeries(folder + "/SeriesA", plain);
    writePhantomSeries(folder + "/SeriesB", withParallelImaging(plain));
}

}  // namespace quelby
