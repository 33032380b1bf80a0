#include "MeasurementRun.h"

#include "CheckedFloat.h"
#include "DisplayTexts.h"
#include "FolderReader.h"
#include "NumberText.h"
#include "PixelArithmetic.h"
#include "RunKernel.h"
#include "ScaleBar.h"
#include "WindowChoice.h"

#include <array>
#include <bit>
#include <span>

namespace quelby {

namespace {

using checked::Extended;

// The maps of one series and where its passes sit on the progress bar.
struct Series {
    const std::string& folder;
    Map& repImage;
    Map& signal;
    Map& noise;
    Map& snr;
    std::int32_t& count;
    int progressBase;   // position before the sum pass
    int progressShare;  // positions per pass
};

// The images of one batch, held for the whole process: nothing is allocated per run.
alignas(64) std::array<ImageBytesBuffer, KernelImages> Batch;

// The batch a pass reads into. The per-file step can fail only when the count
// is 0 (its division); that step must then come right after the first file.
std::span<ImageBytesBuffer> batchFor(const Series& series)
{
    return std::span<ImageBytesBuffer>(Batch).first(series.count > 0 ? Batch.size() : 1);
}

// The means are multiples of 1/count when the count is a power of two.
int grainExponent(std::int32_t count) { return count > 0 ? std::countr_zero(static_cast<std::uint32_t>(count)) : 0; }

// The representative image: the last image a pass has added, stored once the
// pass ends, whether it completes or fails. A failing read never goes into the
// buffer of the last image handed on: with eight buffers the next read goes
// into another one, and with one (a count of 0) the first file step fails.
struct LastImage {
    explicit LastImage(Map& map) : rep(map) {}
    ~LastImage()
    {
        if (image != nullptr) storeSamples(*image, rep, kind);
    }
    LastImage(const LastImage&) = delete;
    LastImage& operator=(const LastImage&) = delete;

    Map& rep;
    const ImageBytesBuffer* image = nullptr;
    SampleKind kind = SampleKind::Int16;
};

class Run {
public:
    Run(const RunInputs& inputs, MapStore& store, RunView& view) : in_(inputs), s_(store), view_(view) {}

    void execute()
    {
        s_.ScaleMin = parseNumber(in_.scaleMinText);
        s_.ScaleStep = parseNumber(in_.scaleStepText);
        if (in_.reductionFactorText == "0") {
            view_.refuseReductionFactor();
            view_.setProgressBarShown(false);
            return;
        }
        view_.setProgressBarShown(true);
        view_.clearMapList();
        const int lines = in_.gFactorMode ? ResultMapCount : SnrMapAIndex + 1;
        for (int k = 0; k < lines; ++k) view_.addMapListLine(MapListText[k]);
        if (in_.gFactorMode) parseNumber(in_.reductionFactorText);

        for (int k = 0; k < ResultMapCount; ++k) zeroMap(s_.resultMap(k));

        const int share = in_.gFactorMode ? 25 : 50;
        measure({in_.folderA, s_.RepImageA, s_.SignalMapA, s_.NoiseMapA, s_.SnrMapA, s_.CountA, 0, share}, true);
        WriteScaleBar(s_.SnrMapA, s_.ScaleMin, s_.ScaleStep);
        WriteScaleFrame(s_.SnrMapA);
        if (in_.gFactorMode) {
            measure({in_.folderB, s_.RepImageB, s_.SignalMapB, s_.NoiseMapB, s_.SnrMapB, s_.CountB, 50, share}, false);
            WriteScaleBar(s_.SnrMapB, s_.ScaleMin, s_.ScaleStep);
        }
        WriteScaleFrame(s_.SnrMapB);

        gFactor(parseNumber(in_.reductionFactorText));
        WriteScaleBar(s_.GFactorMap, checked::store(100.0L * s_.ScaleMin), checked::store(100.0L * s_.ScaleStep));
        WriteScaleFrame(s_.GFactorMap);

        s_.DisplayMax = largestValue(s_.DisplayMap);
        const Window window = windowFromLargest(s_.DisplayMax);
        s_.WindowLevel = window.level;
        s_.WindowWidth = window.width;
        view_.setWindowCaption(runWindowText(window));
        view_.render();
        view_.setProgressBarShown(false);
    }

private:
    void measure(const Series& series, bool showsRepImage)
    {
        series.count = CountImageFiles(series.folder);
        sumPass(series);
        mean(series, showsRepImage);
        deviationPass(series);
        noise(series);
        snr(series);
    }

    void sumPass(const Series& series)
    {
        const std::span<ImageBytesBuffer> buffers = batchFor(series);
        LastImage last(series.repImage);
        ReadImageBatches(
            series.folder, buffers, [&] { s_.FileCounter = 0; },
            [&](std::span<ImageBytesBuffer> images, SampleKind kind) {
                addSamples(images, series.signal, kind);
                last.image = &images.back();
                last.kind = kind;
            },
            [&] { advance(series, series.progressBase); });
    }

    void mean(const Series& series, bool showsRepImage)
    {
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c) {
                if (showsRepImage) s_.DisplayMap[r][c] = series.repImage[r][c];
                series.signal[r][c] = pixel::mean(series.signal[r][c], series.count);
            }
    }

    void deviationPass(const Series& series)
    {
        // Squares of differences of 16-bit samples summed over at most 2^31 files stay
        // far inside the double range, so this expression cannot fault.
        const std::span<ImageBytesBuffer> buffers = batchFor(series);
        ReadImageBatches(
            series.folder, buffers, [&] { s_.FileCounter = 0; },
            [&](std::span<ImageBytesBuffer> images, SampleKind kind) {
                addSquaredDeviations(images, series.signal, series.noise, grainExponent(series.count), kind);
            },
            [&] { advance(series, series.progressBase + series.progressShare); });
    }

    void noise(const Series& series)
    {
        const Extended divisor = static_cast<Extended>(s_.FileCounter - 1);
        for (auto& row : series.noise)
            for (double& v : row) v = pixel::noise(v, divisor);
    }

    void snr(const Series& series)
    {
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c)
                if (series.noise[r][c] != 0.0) series.snr[r][c] = pixel::snr(series.signal[r][c], series.noise[r][c]);
    }

    void gFactor(double reductionFactor)
    {
        for (int r = 0; r < ImageSide; ++r)
            for (int c = 0; c < ImageSide; ++c) {
                if (s_.SnrMapB[r][c] != 0.0)
                    s_.GFactorMap[r][c] = pixel::gFactor(s_.SnrMapA[r][c], s_.SnrMapB[r][c], reductionFactor, 100.0L);
            }
    }

    void advance(const Series& series, int base)
    {
        ++s_.FileCounter;
        const Extended share = static_cast<Extended>(series.progressShare * s_.FileCounter);
        view_.setProgress(base + static_cast<int>(checked::trunc(checked::div(share, series.count))));
    }

    const RunInputs& in_;
    MapStore& s_;
    RunView& view_;
};

}  // namespace

void MeasurementRun(const RunInputs& inputs, MapStore& store, RunView& view)
{
    Run(inputs, store, view).execute();
}

}  // namespace quelby
