#pragma once

#include "GaussianNoise.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quelby {

// The disc and the g map are centred between the two middle rows and columns.
inline constexpr double PhantomCentre = 127.5;
// The g map of the parallel-imaging series: g = 1 + peak · exp(−d² / (2 · width²)),
// d the distance from the centre in pixels.
inline constexpr double GFactorPeak = 0.5;
inline constexpr double GFactorWidth = 60.0;
// Every header byte, so that a reader that takes the header shows it.
inline constexpr unsigned char PhantomHeaderByte = 0x5A;

// One series of repeated acquisitions of a disc phantom: `signal` inside the
// disc, `background` outside, plus Gaussian noise of σ = `sigma`, or
// σ · g · √R when `parallel` is set. Samples are rounded to the nearest integer
// and clamped to 16 bits. The defaults are the demo's: 32 files, S = 1600,
// σ = 10, R = 2, so that the SNR of the plain series (160) sits in the middle
// of the window's default scale (60 to 240), that of the parallel series
// (160 / (g·√2), 75 to 113) inside it, and g (1 to 1.5) inside the g scale.
struct PhantomSeries {
    int files = 32;
    double signal = 1600.0;
    double background = 0.0;
    double discRadius = 100.0;
    double sigma = 10.0;
    bool parallel = false;
    double reduction = 2.0;
    int headerBytes = 0;
    std::uint64_t seed = 1;
    // Files as a scanner exports them: DICOM, one image per file.
    bool dicom = false;
};

double trueGFactor(int row, int col);
double trueSignal(const PhantomSeries& series, int row, int col);
// The σ of the noise at this pixel.
double trueNoise(const PhantomSeries& series, int row, int col);
double trueSnr(const PhantomSeries& series, int row, int col);

// Nearest integer (halves away from zero), clamped to the 16-bit range.
std::int16_t toSample(double value);

// One acquisition: 65,536 samples, row 0 first, drawing its noise from `noise`.
std::vector<std::int16_t> phantomImage(const PhantomSeries& series, GaussianNoise& noise);

// The bytes of one image file: the header, then the samples little-endian.
std::vector<unsigned char> phantomFileBytes(const PhantomSeries& series, GaussianNoise& noise);

// "img0001.raw" for number 1 ("img0001.dcm" for a DICOM series).
std::string phantomFileName(int number, bool dicom = false);

// Creates `folder` if needed and writes the series into it, files numbered from 1.
// Throws std::runtime_error (or std::filesystem::filesystem_error) when it cannot.
void writePhantomSeries(const std::string& folder, const PhantomSeries& series);

// The same phantom acquired with parallel imaging at the series' R, with its
// own noise stream.
PhantomSeries withParallelImaging(const PhantomSeries& series);

// The demo pair: `folder`/SeriesA, the series as given without parallel
// imaging, and `folder`/SeriesB, the same with it.
void writeDemo(const std::string& folder, const PhantomSeries& series);

}  // namespace quelby
